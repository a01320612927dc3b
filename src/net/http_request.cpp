// One request's opening half: address, connection, request text, head of the answer.
#include "net/http_request.h"

#include <memory>

#include "net/connection.h"
#include "net/http2_session.h"
#include "net/http_response.h"
#include "net/location.h"
#include "net/pipelining.h"
#include "net/proxy.h"

namespace {

// Receive size while the head arrives.
constexpr size_t kBlockSize = 64 * 1024;
// A server whose header does not end within this much is not an update server.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

// The host and path go into the request line as they are: a space or a line break would let
// the URL rewrite the request.
bool isSafeInRequest(const std::string& text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Sends the request through a proxy: the connection goes to it, and it is asked for the
// whole address. False, with `result` saying why, for a proxy address that cannot be read.
bool routeThroughProxy(const ProxySettings& settings, RequestRoute& route, HttpResult& result) {
    Url proxy;
    // "proxy:3128" and "http://proxy:3128" name no path; the request goes to the host.
    const std::string& proxyText = settings.address;
    if (!parseUrl(proxyText, proxy) && !parseUrl(proxyText + "/", proxy)) {
        result.failure = "not a proxy address: " + addressForLog(proxyText);
        return false;
    }
    route.connectHost = proxy.host;
    // A proxy is asked for the whole address (absolute form), without the credentials.
    route.target = "http://" + route.address.host + route.address.path;
    if (proxy.hasUserInfo) route.proxyAuthorization = basicAuthorization(proxy.userInfo);
    if (!isSafeInRequest(proxy.host) || !isSafeInRequest(proxy.userInfo)) {
        result.failure = "a space or control character in the proxy address";
        return false;
    }
    return true;
}

// The connection kept for the route's server, or a new one (over TLS for https). Null, with
// `result` saying why, when none can be made.
// `request` is the request's text: on a kept connection it may have been sent ahead already
// (`sentAhead`, and `behindAnother` when it went out behind an earlier request).
std::unique_ptr<Connection> connectionFor(const RequestRoute& route, const std::string& request,
                                          const HttpOptions& options, HttpResult& result, bool& reused,
                                          bool& sentAhead, bool& behindAnother) {
    std::unique_ptr<Connection> connection;
    sentAhead = behindAnother = false;
    // Whatever was kept for another server, or for a request that cannot be kept, is closed now.
    if (options.keep)
        connection = options.keep->take(route.keepable ? route.server : "", request, options.stallTimeoutMs,
                                        options.cancel, sentAhead, behindAnother);
    reused = connection != nullptr;
    if (connection) return connection;
    std::string connectName, connectPort;
    std::vector<PlatformAddress> addresses;
    if (!splitHostPort(route.connectHost, connectName, connectPort, route.secure ? "443" : "80") ||
        connectName.empty() || !platformResolve(connectName, connectPort, addresses)) {
        result.failure = "could not resolve " + textForLog(route.connectHost);
        return nullptr;
    }
    PlatformSocket socket;
    if (!connectToAny(socket, addresses, options)) {
        result.retryable = !platformCancelRaised(options.cancel);
        result.failure = result.retryable ? "could not connect to " + textForLog(route.connectHost) : "cancelled";
        return nullptr;
    }
    connection.reset(new Connection(socket, options.stallTimeoutMs, options.cancel));
    // Never plain text instead: a refused handshake fails the transfer.
    // HTTP/2 is offered where its streams can be kept for the requests to come.
    const bool offerHttp2 = route.keepable && options.pipelining && options.pipelining->speaksHttp2(route.server);
    if (route.secure && !connection->startTls(route.name, offerHttp2)) {
        result.failure = connection->error();
        // A certificate stays refused however often it is asked; a handshake cut short or
        // timed out may pass next time.
        result.retryable = connection->handshakeMayPass();
        return nullptr;
    }
    return connection;
}

// Where the blank line that ends a head lies in `head`, looking at line ends from `from` on:
// CRLF CRLF, or line feeds alone (LF LF, LF CRLF), as some servers write them. The header's
// text ends at the returned index (npos while there is no blank line yet), the body begins at
// `bodyStart`.
size_t findHeadEnd(const std::string& head, size_t from, size_t& bodyStart) {
    for (size_t at = head.find('\n', from); at != std::string::npos; at = head.find('\n', at + 1)) {
        if (at + 1 < head.size() && head[at + 1] == '\n') bodyStart = at + 2;
        else if (at + 2 < head.size() && head[at + 1] == '\r' && head[at + 2] == '\n') bodyStart = at + 3;
        else continue;
        return at > 0 && head[at - 1] == '\r' ? at - 1 : at;
    }
    return std::string::npos;
}

// Receives one head into `head`, up to its blank line; the header's text ends at `headerEnd`,
// and what came behind the blank line is handed back to the connection as the body's first
// bytes. At most `budget` bytes before the blank line. `first`: nothing of this request's
// answer was read yet, so a server closing at once has said nothing at all; on a kept
// connection (`reused`) that is the server having closed it while it idled, and Again.
Step receiveHead(Connection& connection, bool reused, bool first, size_t budget, const HttpOptions& options,
                 HttpResult& result, std::string& head, size_t& headerEnd, size_t& bodyStart) {
    auto staleOr = [&](Step step) { return reused && !platformCancelRaised(options.cancel) ? Step::Again : step; };
    std::unique_ptr<char[]> block(new char[kBlockSize]);
    for (;;) {
        const int64_t count = connection.receive(block.get(), kBlockSize);
        // A server that hangs up before saying anything leaves no file; the caller sees it missing.
        if (count == 0 && head.empty() && first) {
            result.failure = "the server closed the connection without answering";
            return staleOr(Step::NoResponse);
        }
        if (count <= 0) {
            describeReceiveFailure(count, 0, 0, options, result);
            result.failure += " of the response header";
            // A reset before any byte is a closed kept connection too; a silence is not.
            return head.empty() && first && count == kSocketFailed ? staleOr(Step::Failed) : Step::Failed;
        }
        // Only the new bytes (and the two before them) can complete the blank line.
        const size_t searchFrom = head.size() < 2 ? 0 : head.size() - 2;
        head.append(block.get(), size_t(count));
        headerEnd = findHeadEnd(head, searchFrom, bodyStart);
        if (headerEnd != std::string::npos) break;
        if (head.size() > budget) {
            result.failure = "a response header larger than 64 KiB";
            return Step::Failed;
        }
    }
    if (headerEnd > budget) {
        result.failure = "a response header larger than 64 KiB";
        return Step::Failed;
    }
    connection.unread(head.data() + bodyStart, head.size() - bodyStart);
    return Step::Answered;
}

// Reads the answer's head into `answer`, past any interim (1xx) heads before it, which all
// count against the 64 KiB a head may have. A head that cannot be read on a kept connection
// (`reused`) may be a stray byte of the last answer: Again, over a new connection.
Step readAnswerHead(Connection& connection, bool reused, const HttpOptions& options, HttpResult& result,
                    HttpResponse& answer) {
    answer.headBytes = 0;
    for (;;) {
        std::string head;
        size_t headerEnd = 0, bodyStart = 0;
        const size_t budget = answer.headBytes < kMaxHeaderBytes ? kMaxHeaderBytes - size_t(answer.headBytes) : 0;
        const Step received = receiveHead(connection, reused, answer.headBytes == 0, budget, options, result, head,
                                          headerEnd, bodyStart);
        if (received != Step::Answered) return received;
        answer.header = head.substr(0, headerEnd);
        answer.headBytes += bodyStart;
        if (!parseResponseHead(answer.header, answer.head)) {
            result.failure = "a malformed response: " + textForLog(head.substr(0, head.find('\n')));
            return reused && answer.headBytes == bodyStart ? Step::Again : Step::Failed;
        }
        // "100 Continue" and the like say that the answer is still to come.
        if (answer.head.status / 100 != 1) return Step::Answered;
    }
}

// Judges a redirect: its target goes to `redirect`. Failed, with `result` saying why, when it
// names no target the updater can follow.
Step readRedirect(const RequestRoute& route, const HttpResponseHead& head, HttpResult& result, Redirect& redirect) {
    redirect.statusLine = head.statusLine;
    if (head.location.empty()) {
        result.failure = head.statusLine + " without a Location";
        return Step::Failed;
    }
    if (!resolveLocation(route.address, head.location, redirect.text) || !parseUrl(redirect.text, redirect.address)) {
        result.failure = head.statusLine + " to an address the updater cannot follow: " + addressForLog(head.location);
        return Step::Failed;
    }
    return Step::Redirect;
}

}  // namespace

std::string addressForLog(const std::string& address) { return textForLog(withoutCredentials(address)); }

void describeReceiveFailure(int64_t count, int64_t received, int64_t contentLength, const HttpOptions& options,
                            HttpResult& result) {
    const std::string where = contentLength > 0
                                  ? " after " + std::to_string(received) + " of " + std::to_string(contentLength) + " bytes"
                                  : " after " + std::to_string(received) + " bytes";
    result.retryable = true;
    if (count == 0) {
        result.failure = "the connection closed" + where;
    } else if (count == kSocketTimedOut) {
        result.failure = "no data for " + std::to_string(options.stallTimeoutMs) + " ms" + where;
    } else if (count == kReceiveTooSlow) {
        result.failure = "less than " + std::to_string(kMinBytesPerStall) + " bytes in " +
                         std::to_string(options.stallTimeoutMs) + " ms" + where;
    } else if (count == kMalformedChunks) {
        result.failure = "malformed chunks in the body" + where;
    } else if (count == kSocketCancelled) {
        result.failure = "cancelled" + where;
        result.retryable = false;
    } else {
        result.failure = "the connection was reset" + where;
    }
}

void explainStreamFailure(const std::string& why, HttpResult& result) {
    // A stream that ended early reads as a reset connection; any other failure (a full disk, a
    // cancel, a stall) stays as it was said.
    const std::string reset = "the connection was reset";
    if (why.empty() || result.failure.compare(0, reset.size(), reset) != 0) return;
    const size_t after = result.failure.find(" after ");
    result.failure = why + (after == std::string::npos ? std::string() : result.failure.substr(after));
}

bool connectToAny(PlatformSocket& socket, const std::vector<PlatformAddress>& addresses, const HttpOptions& options) {
    socket = kNoSocket;
    for (const PlatformAddress& address : addresses) {
        if (platformCancelRaised(options.cancel)) return false;
        socket = platformConnect(address, options.stallTimeoutMs, options.cancel);
        if (socket != kNoSocket) return true;
    }
    return false;
}

bool planRoute(const Url& address, const HttpOptions& options, RequestRoute& route, HttpResult& result) {
    route = RequestRoute();
    route.address = address;
    route.secure = address.scheme == "https";
    if (!isSafeInRequest(address.host) || !isSafeInRequest(address.path) || !isSafeInRequest(address.userInfo)) {
        result.failure = "a space or control character in the address";
        return false;
    }
    if (!splitHostPort(address.host, route.name, route.port, route.secure ? "443" : "80") || route.name.empty()) {
        result.failure = "not a host: " + textForLog(address.host);
        return false;
    }
    route.connectHost = address.host;
    route.target = address.path;
    // The proxy settings are http_proxy's, which curl too applies to http:// addresses only;
    // an https:// address is reached directly.
    if (!route.secure && options.proxy && useProxyFor(*options.proxy, route.name) &&
        !routeThroughProxy(*options.proxy, route, result))
        return false;
    // Only a direct connection is kept: what a proxy does with one is the proxy's business.
    route.keepable = options.keep && route.connectHost == address.host;
    route.server = address.scheme + "://" + route.name + ":" + route.port;
    return true;
}

std::string requestText(const RequestRoute& route, const std::string& extraFields, const HttpOptions& options) {
    std::string request = "GET " + route.target + " HTTP/1.1\r\nUser-Agent: Wux\r\nHost: " + route.address.host +
                          (route.keepable ? "\r\nConnection: keep-alive\r\n" : "\r\nConnection: close\r\n");
    // The updater compares files byte for byte: no compression it did not ask for.
    request += "Accept-Encoding: identity\r\n";
    if (route.address.hasUserInfo) request += "Authorization: " + basicAuthorization(route.address.userInfo) + "\r\n";
    if (!route.proxyAuthorization.empty()) request += "Proxy-Authorization: " + route.proxyAuthorization + "\r\n";
    if (options.noCache) request += "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    request += extraFields;
    request += "\r\n";
    return request;
}

ByteSource* HttpResponse::Open::source() const {
    if (http2) return http2.get();
    return connection.get();
}

BodyReader bodyReaderFor(const HttpResponseHead& head, ByteSource* source, bool kept) {
    // The end of an HTTP/2 stream ends its body (nghttp2 holds it to any length given).
    if (head.version == 20) return BodyReader(source, -1);
    if (head.chunked) return BodyReader(source, -1, true);
    // No body, whatever the fields say.
    if (head.status == 204 || head.status == 304) return BodyReader(source, 0);
    // An HTTP/1.0 server that does not keep the connection may send a length of 0 and the body
    // anyway: its end is where the server closes. One that keeps it frames every body.
    return BodyReader(source, head.contentLength > 0 || (kept && head.contentLength == 0) ? head.contentLength : -1);
}

namespace {

// Asks for `request` on an HTTP/2 session (or finds it sent ahead there) and waits for the head
// of its answer. `reused`: the session carried earlier requests, so that a stream it refuses
// may be asked for again over a new connection (Again).
Step exchangeOverHttp2(const std::shared_ptr<Http2Session>& session, bool reused, const RequestRoute& route,
                       const std::string& request, const HttpOptions& options, HttpResult& result,
                       HttpResponse& answer, HttpResponse::Open& open) {
    session->renew(options.stallTimeoutMs, options.cancel);
    int32_t stream = session->claim(request);
    if (stream == 0) {
        session->dropUnclaimed();
        if (session->submit(request)) stream = session->claim(request);
    }
    if (stream != 0) open.http2.reset(new Http2Stream(session, stream));
    std::string header;
    int64_t code = kSocketFailed;
    const Http2Head head = stream != 0 ? session->readHead(stream, header, code) : Http2Head::Refused;
    if (head != Http2Head::Arrived && options.keep->http2 == session) options.keep->drop();
    if (session->brokeProtocol() && options.pipelining) options.pipelining->stopHttp2(route.server);
    switch (head) {
    case Http2Head::Arrived:
        break;
    case Http2Head::Refused:
        if (reused) return Step::Again;
        result.failure = "the server refused the request";
        result.retryable = true;
        return Step::Failed;
    case Http2Head::TooLarge:
        result.failure = "a response header larger than 64 KiB";
        return Step::Failed;
    case Http2Head::Failed:
        describeReceiveFailure(code, 0, 0, options, result);
        result.failure += " of the response header";
        if (session->brokeProtocol()) result.failure = "HTTP/2 broken by the server: " + session->protocolError();
        else explainStreamFailure(session->streamFailure(stream), result);
        return Step::Failed;
    }
    answer.header = header;
    answer.headBytes = header.size() + 4;
    if (!parseHttp2Head(header, answer.head)) {
        result.failure = "a malformed response: " + textForLog(header.substr(0, header.find('\r')));
        return Step::Failed;
    }
    return Step::Answered;
}

// Sends the request over the connection kept for its server, or a new one, and reads the head
// of its answer (HTTP/1.x).
Step exchangeOverHttp1(Connection& connection, bool reused, bool sentAhead, bool behindAnother,
                       const RequestRoute& route, const std::string& request, const HttpOptions& options,
                       HttpResult& result, HttpResponse& answer) {
    if (!sentAhead && !connection.sendAll(request.data(), request.size())) {
        result.retryable = !platformCancelRaised(options.cancel);
        result.failure = result.retryable ? "could not send the request to " + textForLog(route.connectHost) : "cancelled";
        return reused && result.retryable ? Step::Again : Step::Failed;
    }
    // The connection carries other requests than this one: a server that mixes them up may
    // frame this answer wrongly, or give another's.
    const bool pipelined = behindAnother || !connection.requestsAhead.empty();
    const Step received = readAnswerHead(connection, reused, options, result, answer);
    // An answer on a pipelined connection that cannot be read (the server closed without
    // saying so before, garbled it, or never sent it): this server is asked one request at a
    // time.
    if (received != Step::Answered && pipelined && !platformCancelRaised(options.cancel)) stopPipelining(route, options);
    if (received == Step::Answered && pipelined) result.pipelinedFrom = route.server;
    return received;
}

}  // namespace

Step sendRequest(const RequestRoute& route, const std::string& extraFields, const HttpOptions& options,
                 HttpResult& result, HttpResponse& answer, HttpResponse::Open& open, Redirect& redirect) {
    result.pipelinedFrom.clear();
    const std::string request = requestText(route, extraFields, options);
    std::unique_ptr<Connection> connection;
    bool sentAhead = false;
    Step received;
    if (std::shared_ptr<Http2Session> session = route.keepable ? options.keep->session(route.server) : nullptr) {
        received = exchangeOverHttp2(session, true, route, request, options, result, answer, open);
    } else {
        bool reused = false, behindAnother = false;
        connection = connectionFor(route, request, options, result, reused, sentAhead, behindAnother);
        if (!connection) return Step::Failed;
        if (connection->http2()) {
            std::shared_ptr<Http2Session> started = Http2Session::start(std::move(connection));
            if (!started) {
                result.failure = "could not send the request to " + textForLog(route.connectHost);
                result.retryable = true;
                return Step::Failed;
            }
            options.keep->keepSession(route.server, started);
            received = exchangeOverHttp2(started, false, route, request, options, result, answer, open);
        } else {
            received = exchangeOverHttp1(*connection, reused, sentAhead, behindAnother, route, request, options,
                                         result, answer);
        }
    }
    if (received != Step::Answered) return received;
    result.retryAfterSeconds = answer.head.retryAfterSeconds;
    if (isRedirect(answer.head.status)) {
        // What was sent ahead behind a redirect is lost with the connection: one at a time
        // wastes nothing on a server that redirects its files.
        if (sentAhead) stopPipelining(route, options);
        return readRedirect(route, answer.head, result, redirect);
    }
    // Chunks are taken off as the body arrives; a body in any other transfer coding would be
    // stored with it inside the file.
    if (answer.head.success && !answer.head.transferEncoding.empty() && !answer.head.chunked) {
        result.failure = "unsupported Transfer-Encoding: " + textForLog(answer.head.transferEncoding);
        return Step::Failed;
    }
    open.connection = std::move(connection);
    open.keepable = route.keepable;
    open.server = route.server;
    open.keep = options.keep;
    open.pipelining = options.pipelining;
    return Step::Answered;
}

void stopPipelining(const RequestRoute& route, const HttpOptions& options) {
    if (options.pipelining) options.pipelining->stopPipelining(route.server);
}

void keepForNext(HttpResponse::Open& open, const HttpResponseHead& head, const BodyReader& body) {
    if (!open.connection || !open.keep || !open.keepable || !head.keepAlive || !body.complete()) return;
    // Bytes behind the body are the next answer's start when requests were sent ahead; with
    // none sent, they would be taken for the answer to the next one.
    if (open.connection->requestsAhead.empty() && open.connection->unreadBytes() > 0) return;
    open.connection->pipelines = head.version == 11 && open.pipelining && open.pipelining->pipelines(open.server);
    open.keep->keep(open.server, std::move(open.connection));
}
