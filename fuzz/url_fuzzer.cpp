// Fuzzes the address splitting of the HTTP client: splitUrl must cut any text into a host
// without "/" and a path that starts with one, putting back exactly the text after "http://",
// and splitHostPort must only ever hand on a port within 1..65535.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "net/http_client.h"

namespace {

const std::string kScheme = "http://";

void checkSplitUrl(const std::string& url) {
    std::string host = "untouched host", path = "untouched path";
    const bool ok = splitUrl(url, host, path);
    const size_t scheme = url.find(kScheme);
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + kScheme.size();
    if (!ok) {
        FUZZ_CHECK(host == "untouched host" && path == "untouched path", "a failed split changed its outputs");
        FUZZ_CHECK(url.find('/', hostStart) == std::string::npos, "split failed though a path follows the host");
        return;
    }
    FUZZ_CHECK(host.find('/') == std::string::npos, "the host holds a '/': " + host);
    FUZZ_CHECK(!path.empty() && path[0] == '/', "the path does not start with '/': " + path);
    FUZZ_CHECK(url.compare(hostStart, std::string::npos, host + path) == 0,
               "host and path do not put the address back together");
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
    checkSplitUrl(text);
    checkSplitHostPort(text);
    // The host splitUrl hands on goes through the same door.
    std::string host, path;
    if (splitUrl(text, host, path)) checkSplitHostPort(host);
    return 0;
}
