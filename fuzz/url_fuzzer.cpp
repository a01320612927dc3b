// Fuzzes how the HTTP client takes addresses apart: parseUrl must cut any text into a host
// without "/" and a path that starts with one, which formatUrl puts back together, and
// splitHostPort must only ever hand on a port within 1..65535.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "net/url.h"

namespace {

void checkParseUrl(const std::string& text) {
    Url url;
    url.host = "untouched";
    if (!parseUrl(text, url)) {
        FUZZ_CHECK(url.host == "untouched", "a failed parse changed its output");
        return;
    }
    FUZZ_CHECK(url.scheme == "http" || url.scheme == "https", "an unknown scheme: " + url.scheme);
    FUZZ_CHECK(url.host.find('/') == std::string::npos, "the host holds a '/': " + url.host);
    FUZZ_CHECK(url.host.find('@') == std::string::npos, "the host holds credentials: " + url.host);
    FUZZ_CHECK(!url.path.empty() && url.path[0] == '/', "the path does not start with '/': " + url.path);
    FUZZ_CHECK(url.hasUserInfo || url.userInfo.empty(), "credentials without the mark that there are some");
    // What formatUrl writes reads back as the same parts.
    Url again;
    FUZZ_CHECK(parseUrl(formatUrl(url), again), "a formatted address does not parse: " + formatUrl(url));
    FUZZ_CHECK(again.scheme == url.scheme && again.host == url.host && again.path == url.path &&
                   again.userInfo == url.userInfo,
               "a formatted address reads back otherwise: " + formatUrl(url));
}

void checkSplitHostPort(const std::string& host) {
    std::string name = "untouched", port = "untouched";
    if (!splitHostPort(host, name, port)) return;
    FUZZ_CHECK(!port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                   port[0] != '0',
               "the port is not plain decimal: " + port);
    const long number = std::stol(port);
    FUZZ_CHECK(number >= 1 && number <= 65535, "the port is out of range: " + port);
    if (!host.empty() && host[0] == '[') {
        FUZZ_CHECK(host.compare(1, name.size(), name) == 0 && host[name.size() + 1] == ']',
                   "a bracketed name is not the text between the brackets");
        FUZZ_CHECK(name.find(']') == std::string::npos, "a bracketed name holds ']'");
    } else {
        FUZZ_CHECK(name.find(':') == std::string::npos, "an unbracketed name holds ':': " + name);
        FUZZ_CHECK(host.compare(0, name.size(), name) == 0, "the name is not the start of the host");
        // Without a port the default is HTTP's.
        if (name.size() == host.size()) FUZZ_CHECK(port == "80", "the default port is not 80");
    }
    // A port that was given is the one after the last colon, read as a number.
    const size_t colon = host.rfind(':');
    const bool portGiven = colon != std::string::npos && (host[0] != '[' || colon > host.find(']'));
    if (portGiven) FUZZ_CHECK(std::stol(host.substr(colon + 1)) == number, "the port is not the one given");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkParseUrl(text);
    checkSplitHostPort(text);
    // The host parseUrl hands on goes through the same door.
    Url url;
    if (parseUrl(text, url)) checkSplitHostPort(url.host);
    return 0;
}
