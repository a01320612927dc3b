// One request's opening half: the address (taken apart once) → the connection (kept or new,
// TLS when asked) → the request text → the head of the answer. The body is response_body's.
// Any thread; nothing here logs or keeps state between calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/http2_session.h"
#include "net/http_client.h"
#include "net/response_body.h"
#include "net/url.h"

// What one attempt at an address came to.
enum class Step {
    // The body was stored.
    Stored,
    // The server closed the connection without a byte of answer.
    NoResponse,
    // The transfer failed; HttpResult says why.
    Failed,
    // The answer is a redirect that may be followed (see Redirect).
    Redirect,
    // The same address once more: a kept connection turned out closed before any answer, or a
    // resume was answered with a whole file from the start. Nothing was stored, nothing failed.
    Again,
    // A head other than a redirect arrived, its body still to be read.
    Answered,
};

// Where a redirect points, for the redirect loop to judge.
struct Redirect {
    // The status line that asked for it, as the log shows it.
    std::string statusLine;
    // The next address as resolved from Location, and taken apart.
    std::string text;
    Url address;
};

// Where one request goes, worked out once from its address and the proxy settings.
struct RequestRoute {
    Url address;
    bool secure = false;
    // The server's name (no brackets) and port, which TLS checks the certificate against.
    std::string name;
    std::string port;
    // "name", "name:port" or "[v6]:port": the server's, or the proxy's when one is used.
    std::string connectHost;
    // What the request line asks for: the path, or the whole address when a proxy is asked.
    std::string target;
    // The Proxy-Authorization value for a proxy with credentials; empty otherwise.
    std::string proxyAuthorization;
    // A direct connection that may be kept for the next request (see HttpOptions::keep).
    bool keepable = false;
    // "scheme://name:port": which kept connection may carry the request.
    std::string server;
};

// What the opening half hands on: the connection the body is read from, and where it may be
// kept afterwards.
struct HttpResponse::Open {
    // HTTP/1.x: the connection, its own; HTTP/2: the stream, on the session kept in `keep`.
    std::unique_ptr<Connection> connection;
    std::unique_ptr<Http2Stream> http2;
    ByteSource* source() const;
    // Reads the body from `connection`; its bytes that came with the head are unread there.
    BodyReader body;
    // The connection may serve another request once its body has been read to its length.
    bool keepable = false;
    std::string server;
    KeptConnection* keep = nullptr;
    PipeliningMemory* pipelining = nullptr;
};

// Works out the route of `address`. False, with `result` saying why, for an address that
// would rewrite the request (a space or control character), a host or port that cannot be
// read, or a proxy address that cannot.
bool planRoute(const Url& address, const HttpOptions& options, RequestRoute& route, HttpResult& result);

// The request's text: the GET line and header fields, `extraFields` (whole lines ending in
// CRLF) among them, and the blank line.
std::string requestText(const RequestRoute& route, const std::string& extraFields, const HttpOptions& options);

// Sends one GET along `route` and reads the head of the answer into `answer.head`, and its
// connection and body reader into `open`. Answered, Redirect (its target in `redirect`),
// NoResponse, Again (a kept connection closed meanwhile) or Failed, with `result` saying why.
Step sendRequest(const RequestRoute& route, const std::string& extraFields, const HttpOptions& options,
                 HttpResult& result, HttpResponse& answer, HttpResponse::Open& open, Redirect& redirect);

// Hands the connection of `open` to the HttpOptions::keep it came through, for the next request,
// when the server offered to keep it, `body` was read to the end it knows, and nothing came
// behind it but the answers to requests sent ahead. Notes whether it may pipeline.
void keepForNext(HttpResponse::Open& open, const HttpResponseHead& head, const BodyReader& body);
// Notes that the route's server is asked one request at a time from now on.
void stopPipelining(const RequestRoute& route, const HttpOptions& options);

// The reader of the body of an answer with `head` from `source`: framed by its chunks or
// length, or ended by the server closing. `kept`: the connection stays open behind it.
BodyReader bodyReaderFor(const HttpResponseHead& head, ByteSource* source, bool kept);

// Connects `socket` to the first of `addresses` that accepts, in turn, each with the stall
// time-out and cancel of `options`. False, with `socket` kNoSocket, when none does.
bool connectToAny(PlatformSocket& socket, const std::vector<PlatformAddress>& addresses,
                  const HttpOptions& options = HttpOptions());

// An address as the log may show it: its credentials masked, then as textForLog shows text.
std::string addressForLog(const std::string& address);

// One line for a receive that did not deliver (`count`: 0 or a kSocket result) after
// `received` bytes of `contentLength` (0: unknown), and whether another attempt may fare better.
void describeReceiveFailure(int64_t count, int64_t received, int64_t contentLength, const HttpOptions& options,
                            HttpResult& result);

// Tells the failure of an HTTP/2 stream that ended early (which describeReceiveFailure calls a
// reset) as the server or nghttp2 explained it (`why`, see Http2Session::streamFailure), keeping
// the " after ..." of `result.failure`; leaves any other failure, or one nobody explained, as
// it is.
void explainStreamFailure(const std::string& why, HttpResult& result);
