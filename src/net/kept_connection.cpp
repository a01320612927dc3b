// The connection one thread keeps open between its requests to the same server.
#include "net/kept_connection.h"

#include "net/connection.h"

KeptConnection::KeptConnection() = default;
KeptConnection::~KeptConnection() = default;

void KeptConnection::drop() { connection.reset(); }

std::unique_ptr<Connection> KeptConnection::take(const std::string& forServer, int stallTimeoutMs,
                                                 const PlatformCancel* cancel) {
    std::unique_ptr<Connection> taken = std::move(connection);
    connection.reset();
    if (!taken || forServer.empty() || server != forServer) return nullptr;
    taken->renew(stallTimeoutMs, cancel);
    // A byte the server sent unasked (a stray line end behind a body) would be read as the
    // start of the next answer; a connection it closed meanwhile would fail the request.
    if (!taken->idle()) return nullptr;
    return taken;
}

void KeptConnection::keep(const std::string& forServer, std::unique_ptr<Connection> kept) {
    server = forServer;
    connection = std::move(kept);
}
