// lighttpd from Debian serving a folder on a loopback port, started and stopped by the test.
#pragma once

#include <string>

#include "support/loopback_server.h"

class LighttpdServer {
public:
    // Serves `root` on 127.0.0.1 at a free port, in the foreground, as Debian's configuration
    // would but without its denied names. Check installed() and started().
    explicit LighttpdServer(const std::string& root);

    bool installed() const { return server_.installed(); }
    bool started() const { return server_.started(); }
    const std::string& error() const { return server_.error(); }
    // "http://127.0.0.1:PORT/"
    std::string baseUrl() const { return server_.baseUrl(); }
    // One line per request: the request line, the status, the body bytes sent and the Range
    // field, quoted. lighttpd writes it in full once it stops.
    std::string accessLog() const { return server_.work().read("access.log"); }
    void stop() { server_.stop(); }

private:
    LoopbackServer server_;
};
