// Apache httpd from Debian serving a folder on a loopback port, started and stopped by the test.
#pragma once

#include <string>

#include "support/loopback_server.h"

// Directory settings that compress every response on the fly (mod_deflate), also for clients
// that never asked for it and for files that are compressed already, as some hosts do.
extern const char* const kApacheForcedCompression;

class ApacheServer {
public:
    // Serves `root` (made readable for the account httpd serves as) on 127.0.0.1 at a free port;
    // `directoryConfig` goes into the <Directory> block of `root`. mod_deflate, mod_mime,
    // mod_env, mod_setenvif and mod_headers are loaded. Check installed() and started().
    explicit ApacheServer(const std::string& root, const std::string& directoryConfig = "");

    bool installed() const { return server_.installed(); }
    bool started() const { return server_.started(); }
    const std::string& error() const { return server_.error(); }
    // "http://127.0.0.1:PORT/"
    std::string baseUrl() const { return server_.baseUrl(); }
    // One line per request: the request line, the status, the body bytes sent and the request's
    // Accept-Encoding and Range fields, each quoted.
    std::string accessLog() const { return server_.work().read("access.log"); }

private:
    LoopbackServer server_;
};
