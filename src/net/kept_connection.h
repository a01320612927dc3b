// The connection one thread keeps open between its requests to the same server.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

class Connection;

// Kept when the server offered to (HTTP/1.1, or HTTP/1.0 keep-alive): each file after the first
// then costs no connect, and over HTTPS no handshake. Empty until a response leaves a
// connection fit for another request. Belongs to one thread, like the connection it holds.
struct KeptConnection {
    KeptConnection();
    ~KeptConnection();
    // Closes the kept connection, if any.
    void drop();
    // The connection kept for `server`, renewed with these waits; null when none is kept for
    // it, or when the one kept has bytes waiting that nobody asked for or was closed by the
    // server (it is closed then). Whatever was kept is no longer held here afterwards.
    std::unique_ptr<Connection> take(const std::string& server, int stallTimeoutMs, const PlatformCancel* cancel);
    // Holds `kept` for the next request to `server`, closing what was held before.
    void keep(const std::string& server, std::unique_ptr<Connection> kept);

    // The scheme, host and port it is connected to.
    std::string server;
    std::unique_ptr<Connection> connection;
};
