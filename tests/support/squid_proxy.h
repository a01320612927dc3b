// squid from Debian on a loopback port, started and stopped by the test: a forward proxy (as a
// company or school runs one) or a cache in front of one origin server (as a CDN is), both
// caching so eagerly that a file changed on the origin is served stale until a client asks
// for a fresh copy ("Cache-Control: no-cache" or "Pragma: no-cache").
#pragma once

#include <string>

#include "support/loopback_server.h"

class SquidProxy {
public:
    // A forward proxy: clients name it in http_proxy.
    SquidProxy();
    // A reverse proxy for the server at 127.0.0.1:`originPort`: clients fetch from baseUrl().
    explicit SquidProxy(int originPort);

    bool installed() const { return server_.installed(); }
    bool started() const { return server_.started(); }
    const std::string& error() const { return server_.error(); }
    // "http://127.0.0.1:PORT" (the form http_proxy takes), or with "/" the reverse proxy's base.
    std::string proxyUrl() const { return "http://127.0.0.1:" + std::to_string(server_.port()); }
    std::string baseUrl() const { return server_.baseUrl(); }
    // squid's native access log: a line per request, with how it was answered (TCP_MISS,
    // TCP_MEM_HIT, ...) and the address asked for.
    std::string accessLog() const { return server_.work().read("access.log"); }

private:
    LoopbackServer server_;
};
