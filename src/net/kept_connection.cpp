// The connection one thread keeps open between its requests to the same server.
#include "net/kept_connection.h"

#include <algorithm>

#include "net/connection.h"
#include "net/http2_session.h"
#include "net/pipelining.h"

namespace {

// Writes the requests sent ahead on `connection` that are not written yet, in one write.
bool writeAhead(Connection& connection) {
    std::string requests;
    for (RequestAhead& ahead : connection.requestsAhead) {
        if (ahead.written) continue;
        requests += ahead.text;
        ahead.written = true;
    }
    return requests.empty() || connection.sendAll(requests.data(), requests.size());
}

}  // namespace

KeptConnection::KeptConnection() = default;
KeptConnection::~KeptConnection() = default;

void KeptConnection::drop() {
    connection.reset();
    http2.reset();
}

std::unique_ptr<Connection> KeptConnection::take(const std::string& forServer, const std::string& request,
                                                 int stallTimeoutMs, const PlatformCancel* cancel, bool& sentAhead,
                                                 bool& behindAnother) {
    sentAhead = behindAnother = false;
    http2.reset();
    std::unique_ptr<Connection> taken = std::move(connection);
    connection.reset();
    if (!taken || forServer.empty() || server != forServer) return nullptr;
    taken->renew(stallTimeoutMs, cancel);
    if (!taken->requestsAhead.empty()) {
        // Answers come in the order of the requests: the one wanted must be next.
        if (taken->requestsAhead.front().text != request || !writeAhead(*taken)) return nullptr;
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

std::shared_ptr<Http2Session> KeptConnection::session(const std::string& forServer) {
    if (!http2 || forServer.empty() || server != forServer) return nullptr;
    if (http2->usable()) return http2;
    http2.reset();
    return nullptr;
}

void KeptConnection::keepSession(const std::string& forServer, std::shared_ptr<Http2Session> kept) {
    drop();
    server = forServer;
    http2 = std::move(kept);
}

bool KeptConnection::sendAhead(const std::string& forServer, const std::string& request, int stallTimeoutMs,
                               const PlatformCancel* cancel) {
    if (std::shared_ptr<Http2Session> shared = session(forServer)) {
        if (shared->opened(request)) return true;
        if (shared->streams() >= std::min(kHttp2Streams, shared->streamsAllowed())) return false;
        shared->renew(stallTimeoutMs, cancel);
        return shared->submit(request);
    }
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
    // Written once the first of them is wanted, all at once: fewer packets, and a server reads
    // them together.
    connection->requestsAhead.push_back({request, behind});
    return true;
}

size_t KeptConnection::requestsAtOnce() const {
    if (http2 && http2->usable()) return std::max<size_t>(1, std::min(kHttp2Streams, http2->streamsAllowed()));
    return connection && connection->pipelines ? kPipelineDepth : 1;
}
