// The HTTP/1.0 client: one GET over a new TCP connection, the body streamed into a local file.
// It keeps no state between calls and never logs; any thread may call it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct HttpOptions {
    // A connect, send or receive that makes no progress for this long fails the transfer.
    int stallTimeoutMs = 30000;
    // Raised by another thread to abandon the transfer at once (it then fails); may be null.
    const PlatformCancel* cancel = nullptr;
};

// Fetches `url` and writes the response body to `localPath`. The body goes to `localPath`
// followed by ".part" first, which is renamed into place only when the whole body arrived, so
// a failed or interrupted transfer never leaves anything under `localPath`.
//
// True when the body was stored, and also when the server closed the connection before sending
// a single byte (then no file is created: the caller sees a missing file). False, with nothing
// stored, when the URL cannot be split or holds a space or control character in its host or
// path, the host cannot be reached, the status is not 2xx, the header is malformed or larger
// than 64 KiB, the body ends before its Content-Length or by an error, the body grows past
// `maxBytes` (0 or less: no limit) before reaching its Content-Length, the file cannot be
// written, or the transfer stalls or is cancelled.
// An "https://" address is fetched over TLS only (port 443 unless given); when the handshake
// or the certificate is refused, `failure` (if given) receives the one-line reason for the log.
bool httpGet(const std::string& url, const std::string& localPath, int64_t maxBytes,
             const HttpOptions& options = HttpOptions(), std::string* failure = nullptr);

// Splits at the first "http://" or "https://" (anything before it is ignored; without either
// the host starts at the beginning) and the first "/" behind the host. The path keeps that "/"
// and any query. `secure` (if given) tells whether the prefix was "https://". False, with the
// outputs untouched, when there is no "/" behind the host.
bool splitUrl(const std::string& url, std::string& host, std::string& path, bool* secure = nullptr);

// Splits "name", "name:port", "[v6]" or "[v6]:port" into the name (brackets dropped) and the
// port (`defaultPort` when none is given). False for an empty or non-numeric port, one outside 1..65535,
// or an unbracketed name with several colons.
bool splitHostPort(const std::string& host, std::string& name, std::string& port, const char* defaultPort = "80");

// Connects `socket` to `host` (as splitHostPort reads it), trying every address the lookup
// yields in turn. False, with `socket` kNoSocket, when none connects.
bool connectToHost(PlatformSocket& socket, const std::string& host, const HttpOptions& options = HttpOptions(),
                   const char* defaultPort = "80");
// The same for addresses already resolved: the first that connects wins.
bool connectToAny(PlatformSocket& socket, const std::vector<PlatformAddress>& addresses,
                  const HttpOptions& options = HttpOptions());
