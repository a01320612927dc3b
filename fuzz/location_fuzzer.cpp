// Fuzzes the reading of a redirect's Location header: the first line of the input is the
// address asked, the rest the header's value. Whatever the server sends, a followed redirect
// must be an http or https address with a host, a path from "/" without dot segments, and
// nothing a request line could not carry; and reading it once more changes nothing.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "net/location.h"
#include "net/url.h"

namespace {

void checkTarget(const std::string& target) {
    Url url;
    FUZZ_CHECK(parseUrl(target, url), "the target is no address: " + target);
    FUZZ_CHECK(url.scheme == "http" || url.scheme == "https", "another scheme: " + target);
    FUZZ_CHECK(target.compare(0, url.scheme.size() + 3, url.scheme + "://") == 0, "the target does not start with its scheme");
    FUZZ_CHECK(!url.host.empty(), "no host: " + target);
    FUZZ_CHECK(!url.path.empty() && url.path[0] == '/', "the path does not start with '/': " + target);
    for (unsigned char c : target)
        FUZZ_CHECK(c > 0x20 && c < 0x7f && c != '#', "a byte a request line cannot carry: " + target);
    const std::string path = url.path.substr(0, url.path.find('?'));
    for (const char* dots : {"/../", "/./"})
        FUZZ_CHECK(path.find(dots) == std::string::npos, "a dot segment is left: " + target);
    for (const char* end : {"/..", "/."})
        FUZZ_CHECK(path.size() < std::string(end).size() || path.compare(path.size() - std::string(end).size(), std::string::npos, end) != 0,
                   "a dot segment ends the path: " + target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t newline = text.find('\n');
    const std::string base = newline == std::string::npos ? "http://127.0.0.1:8/dir/manifest?ver=0.3.0" : text.substr(0, newline);
    const std::string location = newline == std::string::npos ? text : text.substr(newline + 1);
    std::string target = "untouched";
    if (!resolveLocation(base, location, target)) {
        FUZZ_CHECK(target == "untouched", "a refused Location changed the target");
        return 0;
    }
    checkTarget(target);
    std::string again;
    FUZZ_CHECK(resolveLocation(base, target, again), "the target is refused when read again: " + target);
    FUZZ_CHECK(again == target, "reading the target again changes it: " + target + " -> " + again);
    return 0;
}
