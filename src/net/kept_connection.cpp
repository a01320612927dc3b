// The connection one thread keeps open between its requests to the same server.
#include "net/kept_connection.h"

#include "net/connection.h"
#include "net/pipelining.h"

KeptConnection::KeptConnection() = default;
KeptConnection::~KeptConnection() = default;

void KeptConnection::drop() { connection.reset(); }

std::unique_ptr<Connection> KeptConnection::take(const std::string& forServer, const std::string& request,
                                                 int stallTimeoutMs, const PlatformCancel* cancel, bool& sentAhead,
                                                 bool& behindAnother) {
    sentAhead = behindAnother = false;
    std::unique_ptr<Connection> taken = std::move(connection);
    connection.reset();
    if (!taken || forServer.empty() || server != forServer) return nullptr;
    taken->renew(stallTimeoutMs, cancel);
    if (!taken->requestsAhead.empty()) {
        // Answers come in the order of the requests: the one wanted must be next.
        if (taken->requestsAhead.front().text != request) return nullptr;
        sentAhead = true;
        behindAnother = taken->requestsAhead.front().behindAnother;
        taken->requestsAhead.pop_front();
        return taken;
    }
    // A byte the server sent unasked (a stray line end behind a body) would be read as the
    // start of the next answer; a connection it closed meanwhile would fail the request.
    if (!taken->idle()) return nullptr;
    return taken;
}

void KeptConnection::keep(const std::string& forServer, std::unique_ptr<Connection> kept) {
    drop();
    server = forServer;
    connection = std::move(kept);
}


bool KeptConnection::sendAhead(const std::string& forServer, const std::string& request, int stallTimeoutMs,
                               const PlatformCancel* cancel) {
    if (!connection || forServer.empty() || server != forServer) return false;
    for (const RequestAhead& ahead : connection->requestsAhead)
        if (ahead.text == request) return true;
    const bool behind = !connection->requestsAhead.empty();
    if (behind && (!connection->pipelines || connection->requestsAhead.size() >= kPipelineDepth)) return false;
    connection->renew(stallTimeoutMs, cancel);
    // As take() would find it: a connection the server closed while it idled is no place for
    // a request.
    if (!behind && !connection->idle()) {
        drop();
        return false;
    }
    if (!connection->sendAll(request.data(), request.size())) {
        drop();
        return false;
    }
    connection->requestsAhead.push_back({request, behind});
    return true;
}

size_t KeptConnection::requestsAtOnce() const { return connection && connection->pipelines ? kPipelineDepth : 1; }
