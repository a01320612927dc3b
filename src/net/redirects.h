// Following redirects: the one loop every request goes through, whatever reads its answer.
// Any thread; nothing here logs.
#pragma once

#include <functional>
#include <string>

#include "net/http_request.h"

// One attempt at `address` (`text` as it was asked for or redirected to): Again to be run
// once more for the same address, Redirect with its target filled in, anything else to end.
using RequestAttempt = std::function<Step(const std::string& text, const Url& address, Redirect& redirect)>;

// Runs `attempt` for `url` and then for each redirect it reports, and returns the first step
// that is neither Again nor Redirect. Again clears `result`'s failure first: it is no failure
// of the transfer. A redirect is refused (Failed, `result` saying why, nothing asked for) from
// https:// to plain http://, back to an address already asked for, or past kMaxRedirects;
// each one followed adds a line to `result.events`. An address that cannot be read is Failed
// before anything is sent.
Step followRedirects(const std::string& url, HttpResult& result, const RequestAttempt& attempt);
