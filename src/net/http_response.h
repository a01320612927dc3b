// Reading the status line and header fields of an HTTP/1.x response.
#pragma once

#include <cstdint>
#include <string>

struct HttpResponseHead {
    // The status line reads "HTTP/1.x 2xx ...".
    bool success = false;
    // The Content-Length value; -1 when the field is missing.
    int64_t contentLength = -1;
};

// Reads `header` (everything before the blank line). Field names are matched without regard to
// case. False for a header that cannot be trusted: no HTTP/1.x status line, or a Content-Length
// that is not a plain decimal number within 63 bits (a mislabelled body would otherwise be
// taken for a complete file).
bool parseResponseHead(const std::string& header, HttpResponseHead& head);
