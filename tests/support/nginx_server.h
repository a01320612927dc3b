// A real nginx serving a folder on a loopback port, started and stopped by the test.
#pragma once

#include <memory>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

// A certificate and its key (PEM files) that nginx serves HTTPS with.
struct NginxTls {
    std::string certificateFile;
    std::string keyFile;
    // Offers HTTP/2 by ALPN besides HTTP/1.1.
    bool http2 = false;
};

class NginxServer {
public:
    // Serves `root` on 127.0.0.1 at a free ephemeral port, over HTTPS when `tls` names a
    // certificate. Check started() (and error()).
    explicit NginxServer(const std::string& root, const std::string& extraServerConfig = "",
                         const NginxTls& tls = {});
    ~NginxServer();

    bool started() const { return port_ > 0; }
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT/", or over HTTPS "https://localhost:PORT/" (the name the test
    // certificates are made for).
    std::string baseUrl() const;
    // The access log in nginx's "combined" format (request line, status, body bytes sent, user
    // agent) followed by the quoted Range field ("-" when none was sent), "p" for a request
    // that came pipelined ("." otherwise) and "c" with the connection's number.
    std::string accessLog() const;
    // Stops the server (a "server down" test); the destructor does it too.
    void stop();

private:
    TempDir work_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
    bool tls_ = false;
    std::string error_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int pickFreeLoopbackPort();
// True when a connection to 127.0.0.1:port succeeds within `timeoutMs`.
bool waitForLoopbackPort(int port, int timeoutMs);
