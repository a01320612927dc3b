// Following redirects: the one loop every request goes through.
#include "net/redirects.h"

#include <algorithm>
#include <vector>

namespace {

// Whether a redirect may be followed from an address asked for over TLS (`fromSecure`) when
// `visited` were asked for so far; records it when so, says why not otherwise.
bool follow(std::vector<std::string>& visited, bool fromSecure, const Redirect& redirect, HttpResult& result) {
    const std::string where = addressForLog(redirect.text);
    // What was asked for over TLS is never fetched in plain text, whoever asks.
    if (fromSecure && redirect.address.scheme != "https") {
        result.failure = redirect.statusLine + ": a redirect from https:// to plain http:// refused: " + where;
        return false;
    }
    if (std::find(visited.begin(), visited.end(), redirect.text) != visited.end()) {
        result.failure = redirect.statusLine + ": a redirect loop back to " + where;
        return false;
    }
    if (int(visited.size()) > kMaxRedirects) {
        result.failure =
            redirect.statusLine + ": more than " + std::to_string(kMaxRedirects) + " redirects, the next to " + where;
        return false;
    }
    visited.push_back(redirect.text);
    result.events.push_back(redirect.statusLine + ": redirected to " + where);
    return true;
}

}  // namespace

Step followRedirects(const std::string& url, HttpResult& result, const RequestAttempt& attempt) {
    Url address;
    if (!parseUrl(url, address)) {
        result.failure = "not a web address: " + addressForLog(url);
        return Step::Failed;
    }
    // The addresses asked for, in order, so that a redirect back is refused.
    std::vector<std::string> visited{url};
    for (;;) {
        Redirect redirect;
        const Step step = attempt(visited.back(), address, redirect);
        if (step == Step::Again) {
            result.failure.clear();
            result.retryable = false;
            continue;
        }
        if (step != Step::Redirect) return step;
        if (!follow(visited, address.scheme == "https", redirect, result)) return Step::Failed;
        address = redirect.address;
    }
}
