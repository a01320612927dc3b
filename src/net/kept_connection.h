// The connection one thread keeps open between its requests to the same server, and the
// requests it sends on it ahead of their turn.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

class Connection;
class Http2Session;

// Kept when the server offered to (HTTP/1.1, or HTTP/1.0 keep-alive): each file after the first
// then costs no connect, and over HTTPS no handshake. Empty until a response leaves a
// connection fit for another request. An HTTP/2 session is kept from its start, and carries
// many requests at once. Belongs to one thread, like the connection it holds.
struct KeptConnection {
    KeptConnection();
    ~KeptConnection();
    // Closes the kept connection, if any, with whatever was sent ahead on it.
    void drop();
    // The connection kept for `server` that can carry `request` (its text), renewed with these
    // waits: one on which that request was sent ahead, first of those whose answers are unread
    // (`ahead` then tells how it was sent), or one with nothing sent ahead, no bytes waiting
    // that nobody asked for, and not closed by the server. Null otherwise (whatever was kept is
    // closed then). Whatever was kept is no longer held here afterwards.
    std::unique_ptr<Connection> take(const std::string& server, const std::string& request, int stallTimeoutMs,
                                     const PlatformCancel* cancel, bool& sentAhead, bool& behindAnother);
    // Holds `kept` for the next request to `server`, closing what was held before.
    void keep(const std::string& server, std::unique_ptr<Connection> kept);
    // The HTTP/2 session kept for `server` while it can open streams; null otherwise (one that
    // cannot is let go: its streams' readers keep it alive until they are done).
    std::shared_ptr<Http2Session> session(const std::string& server);
    // Holds `session` for the next requests to `server`, closing what was held before.
    void keepSession(const std::string& server, std::shared_ptr<Http2Session> session);
    // Sends `request` (its text) ahead on the connection kept for `server`, behind the requests
    // already sent there, when that connection pipelines and carries fewer than kPipelineDepth
    // (or, with none sent ahead, is idle); on an HTTP/2 session, opens a stream for it when it
    // has fewer than kHttp2Streams. True when the request is on its way (also when it was sent
    // before); false, with nothing sent, otherwise. The requests sent ahead go out together
    // when the first of them is taken (or the session next waits): a write that fails then
    // closes the connection, and take() finds none.
    bool sendAhead(const std::string& server, const std::string& request, int stallTimeoutMs,
                   const PlatformCancel* cancel);
    // How many requests the kept connection may carry at once: kHttp2Streams for an HTTP/2
    // session, kPipelineDepth when it pipelines, else 1 (also when nothing is kept).
    size_t requestsAtOnce() const;

    // The scheme, host and port it is connected to.
    std::string server;
    std::unique_ptr<Connection> connection;
    std::shared_ptr<Http2Session> http2;
};
