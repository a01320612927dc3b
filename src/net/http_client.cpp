// The HTTP/1.0 client: one GET over a new TCP connection, the body streamed into a local file.
#include "net/http_client.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "net/body_decoder.h"
#include "net/connection.h"
#include "net/http_response.h"
#include "net/location.h"
#include "net/proxy.h"
#include "net/url.h"
#include "util/file_system.h"
#include "util/md5_pipe.h"

namespace {

// Receive size; memory stays this small whatever the size of the file.
constexpr size_t kBlockSize = 64 * 1024;
// A server whose header does not end within this much is not an update server.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
// What the log shows at most of a text the server chose.
constexpr size_t kMaxQuotedBytes = 200;

// The host and path go into the request line as they are: a space or a line break would let
// the URL rewrite the request.
bool isSafeInRequest(const std::string& text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

// A server's text as the log may show it: one line, not too long.
std::string forLog(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= kMaxQuotedBytes) break;
        if (c >= 0x20 && c != 0x7f) out += char(c);
    }
    return out;
}

// The file one transfer writes: removed unless the whole body arrived, or the transfer may be
// resumed from it. Opened through the platform's path API, so a link at its name is never
// written through, also when it is continued.
class BodyFile {
public:
    // `digest`, when set, receives the MD5 of the whole file once the body is stored. Each
    // attempt has its own BodyFile: a body fetched from the start again is hashed from nothing.
    BodyFile(const std::string& path, bool keepOnFailure, std::string* digest)
        : path_(path), keep_(keepOnFailure), digest_(digest) {}
    ~BodyFile() {
        if (file_) std::fclose(file_);
        if (opened_ && !complete_ && !keep_) platformRemoveFile(path_);
    }
    // Continues the file, or replaces a stale one of an earlier attempt or run.
    bool open(bool append) {
        file_ = platformOpenFile(path_, append ? PlatformOpenMode::Append : PlatformOpenMode::Write);
        opened_ = file_ != nullptr;
        return opened_ && (!append || !digest_ || hashWhatIsThere());
    }
    bool write(const char* data, size_t length) {
        if (length == 0) return true;
        if (digest_) md5_.append(reinterpret_cast<const uint8_t*>(data), length);
        return std::fwrite(data, 1, length, file_) == length;
    }
    // What arrived is no good start for a later attempt.
    void discardOnFailure() { keep_ = false; }
    // Closes the file; a failed flush is a failed write.
    bool finish() {
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        complete_ = closed;
        if (complete_ && digest_) *digest_ = md5_.finish();
        return complete_;
    }

private:
    std::string path_;
    bool keep_;
    // A continued body's digest must cover what an earlier attempt left: read through the
    // handle that appends, so it is the very file the rest is added to.
    bool hashWhatIsThere() {
        std::rewind(file_);
        std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
        size_t count;
        while ((count = std::fread(block.get(), 1, kBlockSize, file_)) > 0) md5_.append(block.get(), count);
        return !std::ferror(file_) && std::fseek(file_, 0, SEEK_END) == 0;
    }

    FILE* file_ = nullptr;
    bool opened_ = false;
    bool complete_ = false;
    std::string* digest_;
    // Hashed on a second processor while this thread receives.
    Md5Pipe md5_;
};

// The size of what an earlier attempt left; 0 when nothing (or no regular file) is there.
int64_t partSize(const std::string& bodyPath) {
    return std::max<int64_t>(0, fileSize(bodyPath));
}

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Statuses that say "not now" rather than "never".
bool isRetryableStatus(int status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// Servers label ".gz" files as gzip-encoded; such a body is the file itself.
bool namesGzipFile(const std::string& path) {
    const std::string bare = path.substr(0, path.find('?'));
    return bare.size() >= 3 && bare.compare(bare.size() - 3, 3, ".gz") == 0;
}

// One line for a receive that did not deliver, and whether another attempt may fare better.
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
    } else if (count == kSocketCancelled) {
        result.failure = "cancelled" + where;
        result.retryable = false;
    } else {
        result.failure = "the connection was reset" + where;
    }
}

bool isSecure(const std::string& url) {
    Url address;
    return parseUrl(url, address) && address.scheme == "https";
}

// StaleConnection: a kept connection turned out closed before any answer; nothing was
// stored, and the request goes again over a new one. Answered: a head other than a redirect
// arrived, its body still to be read.
enum class Step { Stored, NoResponse, Failed, Redirect, Restart, StaleConnection, Answered };

}  // namespace

// What sendRequest hands on: the connection an answer's body is to be read from, and where it
// may be kept afterwards.
struct HttpResponse::Open {
    std::unique_ptr<Connection> connection;
    // Body bytes that arrived with the head and were not handed out yet.
    std::string pending;
    size_t pendingAt = 0;
    // The connection may serve another request once its body has been read to its length.
    bool keepable = false;
    std::string server;
    KeptConnection* keep = nullptr;
    // The path asked for, which tells a ".gz" file.
    std::string path;
};

namespace {

// Sends one GET for `url`, with `extraFields` (whole lines) in its header, and reads the head of
// the answer into `answer`, its connection into `open`. A redirect leaves its target in `next` and
// its status line in `statusLine`.
Step sendRequest(const std::string& url, const std::string& extraFields, const HttpOptions& options,
                 HttpResult& result, HttpResponse& answer, HttpResponse::Open& open, std::string& next,
                 std::string& statusLine) {
    Url address;
    if (!parseUrl(url, address)) {
        result.failure = "not a web address: " + forLog(withoutCredentials(url));
        return Step::Failed;
    }
    const bool secure = address.scheme == "https";
    if (!secure && address.scheme != "http") {
        result.failure = "not a web address: " + forLog(withoutCredentials(url));
        return Step::Failed;
    }
    if (!isSafeInRequest(address.host) || !isSafeInRequest(address.path) || !isSafeInRequest(address.userInfo)) {
        result.failure = "a space or control character in the address";
        return Step::Failed;
    }
    std::string name, port;
    const char* defaultPort = secure ? "443" : "80";
    if (!splitHostPort(address.host, name, port, defaultPort) || name.empty()) {
        result.failure = "not a host: " + forLog(address.host);
        return Step::Failed;
    }

    std::string connectHost = address.host;
    std::string target = address.path;
    std::string proxyAuthorization;
    // The proxy settings are http_proxy's, which curl too applies to http:// addresses only;
    // an https:// address is reached directly.
    if (!secure && options.proxy && useProxyFor(*options.proxy, name)) {
        Url proxy;
        // "proxy:3128" and "http://proxy:3128" name no path; the request goes to the host.
        const std::string& proxyText = options.proxy->address;
        if (!parseUrl(proxyText, proxy) && !parseUrl(proxyText + "/", proxy)) {
            result.failure = "not a proxy address: " + forLog(withoutCredentials(proxyText));
            return Step::Failed;
        }
        connectHost = proxy.host;
        // A proxy is asked for the whole address (absolute form), without the credentials.
        target = "http://" + address.host + address.path;
        if (proxy.hasUserInfo) proxyAuthorization = basicAuthorization(proxy.userInfo);
        if (!isSafeInRequest(proxy.host) || !isSafeInRequest(proxy.userInfo)) {
            result.failure = "a space or control character in the proxy address";
            return Step::Failed;
        }
    }

    // Only a direct connection is kept: what a proxy does with one is the proxy's business.
    const bool keepable = options.keep && connectHost == address.host;
    const std::string server = address.scheme + "://" + name + ":" + port;
    std::unique_ptr<Connection> connection;
    bool reused = false;
    if (options.keep) {
        if (keepable && options.keep->connection && options.keep->server == server) {
            connection = std::move(options.keep->connection);
            connection->renew(options.stallTimeoutMs, options.cancel);
            reused = true;
        }
        // Whatever was kept for another server is closed now.
        options.keep->connection.reset();
    }
    if (!connection) {
        std::string connectName, connectPort;
        std::vector<PlatformAddress> addresses;
        if (!splitHostPort(connectHost, connectName, connectPort, defaultPort) || connectName.empty() ||
            !platformResolve(connectName, connectPort, addresses)) {
            result.failure = "could not resolve " + forLog(connectHost);
            return Step::Failed;
        }
        PlatformSocket socket;
        if (!connectToAny(socket, addresses, options)) {
            result.retryable = !platformCancelRaised(options.cancel);
            result.failure = result.retryable ? "could not connect to " + forLog(connectHost) : "cancelled";
            return Step::Failed;
        }
        connection.reset(new Connection(socket, options.stallTimeoutMs, options.cancel));
        // Never plain text instead: a refused handshake fails the transfer.
        if (secure && !connection->startTls(name)) {
            result.failure = connection->error();
            // A certificate stays refused however often it is asked; a handshake cut short or
            // timed out may pass next time.
            result.retryable = connection->handshakeMayPass();
            return Step::Failed;
        }
    }
    // A kept connection the server closed while it idled fails before any answer: the
    // request then goes again, over a new one.
    auto staleOr = [&](Step step) { return reused && !platformCancelRaised(options.cancel) ? Step::StaleConnection : step; };

    std::string request = "GET " + target + " HTTP/1.0\r\nUser-Agent: Wux\r\nHost: " + address.host +
                          (keepable ? "\r\nConnection: keep-alive\r\n" : "\r\nConnection: close\r\n");
    // The updater compares files byte for byte: no compression it did not ask for.
    request += "Accept-Encoding: identity\r\n";
    if (address.hasUserInfo) request += "Authorization: " + basicAuthorization(address.userInfo) + "\r\n";
    if (!proxyAuthorization.empty()) request += "Proxy-Authorization: " + proxyAuthorization + "\r\n";
    if (options.noCache) request += "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    request += extraFields;
    request += "\r\n";
    if (!connection->sendAll(request.data(), request.size())) {
        result.retryable = !platformCancelRaised(options.cancel);
        result.failure = result.retryable ? "could not send the request to " + forLog(connectHost) : "cancelled";
        return staleOr(Step::Failed);
    }

    std::unique_ptr<char[]> block(new char[kBlockSize]);
    // The header may come in pieces; the bytes behind its blank line are the body's first.
    std::string head;
    size_t headerEnd;
    for (;;) {
        const int64_t count = connection->receive(block.get(), kBlockSize);
        // A server that hangs up before saying anything leaves no file; the caller sees it missing.
        if (count == 0 && head.empty()) {
            result.failure = "the server closed the connection without answering";
            return staleOr(Step::NoResponse);
        }
        if (count <= 0) {
            describeReceiveFailure(count, 0, 0, options, result);
            result.failure += " of the response header";
            // A reset before any byte is a closed kept connection too; a silence is not.
            return head.empty() && count == kSocketFailed ? staleOr(Step::Failed) : Step::Failed;
        }
        // Only the new bytes (and the three before them) can complete the blank line.
        const size_t searchFrom = head.size() < 3 ? 0 : head.size() - 3;
        head.append(block.get(), size_t(count));
        headerEnd = head.find("\r\n\r\n", searchFrom);
        if (headerEnd != std::string::npos) break;
        if (head.size() > kMaxHeaderBytes) {
            result.failure = "a response header larger than 64 KiB";
            return Step::Failed;
        }
    }
    if (headerEnd > kMaxHeaderBytes) {
        result.failure = "a response header larger than 64 KiB";
        return Step::Failed;
    }
    HttpResponseHead& response = answer.head;
    answer.header = head.substr(0, headerEnd);
    if (!parseResponseHead(answer.header, response)) {
        result.failure = "a malformed response: " + forLog(head.substr(0, head.find('\n')));
        return Step::Failed;
    }
    result.retryAfterSeconds = response.retryAfterSeconds;
    if (isRedirect(response.status)) {
        statusLine = response.statusLine;
        if (response.location.empty()) {
            result.failure = response.statusLine + " without a Location";
            return Step::Failed;
        }
        if (!resolveLocation(url, response.location, next)) {
            result.failure = response.statusLine + " to an address the updater cannot follow: " +
                             forLog(withoutCredentials(response.location));
            return Step::Failed;
        }
        return Step::Redirect;
    }
    answer.headBytes = uint64_t(headerEnd) + 4;
    open.connection = std::move(connection);
    open.pending = head.substr(headerEnd + 4);
    open.pendingAt = 0;
    open.keepable = keepable;
    open.server = server;
    open.keep = options.keep;
    open.path = address.path;
    return Step::Answered;
}

// One request and its response, the body into `bodyPath`. A redirect leaves its target in
// `next` and its status line in `statusLine`.
Step fetchOnce(const std::string& url, const std::string& bodyPath, int64_t maxBytes, const HttpOptions& options,
               bool mayResume, HttpResult& result, std::string& next, std::string& statusLine) {
    const int64_t resumeFrom = mayResume ? partSize(bodyPath) : 0;
    HttpResponse answer;
    HttpResponse::Open open;
    const Step sent = sendRequest(url, resumeFrom > 0 ? "Range: bytes=" + std::to_string(resumeFrom) + "-\r\n" : "",
                                  options, result, answer, open, next, statusLine);
    if (sent != Step::Answered) return sent;
    const HttpResponseHead& response = answer.head;
    std::unique_ptr<Connection>& connection = open.connection;
    const bool keepable = open.keepable;
    // The ".part" is longer than the file: it is not the start of this one.
    if (response.status == 416 && resumeFrom > 0) {
        statusLine = response.statusLine;
        return Step::Restart;
    }
    // An error page must never become the file.
    if (!response.success) {
        result.failure = response.statusLine;
        result.retryable = isRetryableStatus(response.status);
        return Step::Failed;
    }

    bool decode = false;
    // A ".gz" sent gzip-encoded is the file itself when the server merely labels ".gz" files so
    // (AddEncoding), or the file compressed once more on the fly (a forced mod_deflate): only
    // its first decoded bytes tell, gzip's magic again in the second case.
    bool sniff = false;
    if (response.contentEncoding == "gzip" || response.contentEncoding == "x-gzip") {
        decode = !namesGzipFile(open.path);
        sniff = !decode;
    } else if (!response.contentEncoding.empty() && response.contentEncoding != "identity") {
        result.failure = "unsupported Content-Encoding: " + forLog(response.contentEncoding);
        return Step::Failed;
    }

    bool append = false;
    if (response.status == 206) {
        // Only the part the updater asked for may be appended; a decoded body cannot be.
        if (resumeFrom == 0 || decode || response.rangeStart != resumeFrom) {
            result.failure = response.statusLine + " for a range the updater did not ask for";
            platformRemoveFile(bodyPath);
            result.retryable = resumeFrom > 0;
            return Step::Failed;
        }
        append = true;
        result.events.push_back("resumed at byte " + std::to_string(resumeFrom));
    } else if (resumeFrom > 0) {
        result.events.push_back(response.statusLine + " to a range request: fetched from the start");
    }

    // A continued range is the raw file, as its start was.
    if (append) sniff = false;

    // 0, like a missing length, leaves the end to the server closing the connection (HTTP/1.0).
    const int64_t contentLength = response.contentLength > 0 ? response.contentLength : 0;
    // A decoded body cannot be continued with a range of the encoded one.
    // What is written is hashed (a decoded body as decoded): the digest is that of the file.
    BodyFile file(bodyPath, options.resume && !decode && !sniff, options.bodyMd5);
    if (!file.open(append)) {
        result.failure = "could not write " + bodyPath;
        // A continued file may not be appended to (a second hard link to it): the next attempt
        // starts from the first byte. Only a regular file is removed; anything else stays.
        if (append && platformRemoveFile(bodyPath)) result.retryable = true;
        return Step::Failed;
    }
    std::unique_ptr<GzipBodyDecoder> decoder(decode || sniff ? new GzipBodyDecoder : nullptr);
    bool writeFailed = false;
    const GzipBodyDecoder::Writer writeOut = [&](const char* data, size_t length) {
        writeFailed = !file.write(data, length);
        return !writeFailed;
    };
    // While sniffing: the body's bytes so far, and what they decode to.
    std::string sniffedRaw, sniffedDecoded;
    const GzipBodyDecoder::Writer keepDecoded = [&](const char* data, size_t length) {
        sniffedDecoded.append(data, length);
        return true;
    };
    // Ends the sniffing: from here on the body is decoded, or stored as it comes.
    auto settle = [&](bool decodeIt) {
        sniff = false;
        if (decodeIt) return writeOut(sniffedDecoded.data(), sniffedDecoded.size());
        decoder.reset();
        return writeOut(sniffedRaw.data(), sniffedRaw.size());
    };
    // A server keeping the connection open frames every body by its length, an empty one too.
    const bool framed = keepable && response.keepAlive && response.contentLength >= 0;
    int64_t received = 0;
    // Bytes past the declared length are not part of the body, and leave the connection unfit
    // for another request.
    bool overrun = false;
    auto store = [&](const char* data, size_t length) {
        if ((contentLength > 0 || framed) && int64_t(length) > contentLength - received) {
            length = size_t(contentLength - received);
            overrun = true;
        }
        received += int64_t(length);
        // Small steps, so that what one step decodes to stays small (deflate packs at most
        // about 1,000 to 1).
        constexpr size_t kSniffStep = 64;
        while (sniff && length > 0) {
            const size_t step = std::min(kSniffStep, length);
            sniffedRaw.append(data, step);
            const bool valid = decoder->feed(data, step, keepDecoded);
            data += step;
            length -= step;
            if (!valid || sniffedDecoded.size() >= 2) {
                const bool twice = valid && static_cast<unsigned char>(sniffedDecoded[0]) == 0x1f &&
                                   static_cast<unsigned char>(sniffedDecoded[1]) == 0x8b;
                if (!settle(twice)) return false;
            }
        }
        if (length == 0) return true;
        if (!decoder) return writeOut(data, length);
        if (decoder->feed(data, length, writeOut)) return true;
        result.failure = writeFailed ? "could not write " + bodyPath : "damaged gzip content";
        return false;
    };
    auto failedWrite = [&]() {
        if (result.failure.empty()) result.failure = "could not write " + bodyPath;
        // What a full disk left half-written is no start to build on.
        file.discardOnFailure();
        return Step::Failed;
    };
    if (!store(open.pending.data(), open.pending.size())) return failedWrite();
    open.pending.clear();
    open.pending.shrink_to_fit();
    std::unique_ptr<char[]> block(new char[kBlockSize]);

    for (;;) {
        if ((contentLength > 0 || framed) && received >= contentLength) break;
        if (maxBytes > 0 && received > maxBytes) {
            result.failure = "more than " + std::to_string(maxBytes) + " bytes";
            file.discardOnFailure();
            return Step::Failed;
        }
        const int64_t count = connection->receive(block.get(), kBlockSize);
        // A short body is never a complete file.
        if (count == 0 && contentLength == 0) break;
        if (count <= 0) {
            describeReceiveFailure(count, received, contentLength, options, result);
            return Step::Failed;
        }
        if (!store(block.get(), size_t(count))) return failedWrite();
    }
    // A body too short to tell is the file as sent: twice compressed, it would be longer.
    if (sniff && !settle(false)) return failedWrite();
    if (decoder && !decoder->complete()) {
        result.failure = "gzip content cut short after " + std::to_string(received) + " bytes";
        result.retryable = true;
        return Step::Failed;
    }
    if (!file.finish()) {
        file.discardOnFailure();
        result.failure = "could not write " + bodyPath;
        return Step::Failed;
    }
    // The body's end was known and nothing followed it: the next request may use the connection.
    if (framed && received == contentLength && !overrun) {
        options.keep->server = open.server;
        options.keep->connection = std::move(connection);
    }
    return Step::Stored;
}

// The addresses one request was sent to, in order, so that a redirect back is refused.
struct RedirectTrail {
    explicit RedirectTrail(const std::string& url) : visited{url} {}
    std::vector<std::string> visited;
};

// Whether a redirect to `next` may be followed; records it when so, says why not otherwise.
bool follow(RedirectTrail& trail, const std::string& next, const std::string& statusLine, HttpResult& result) {
    // What was asked for over TLS is never fetched in plain text, whoever asks.
    if (isSecure(trail.visited.back()) && !isSecure(next)) {
        result.failure = statusLine + ": a redirect from https:// to plain http:// refused: " +
                         forLog(withoutCredentials(next));
        return false;
    }
    if (std::find(trail.visited.begin(), trail.visited.end(), next) != trail.visited.end()) {
        result.failure = statusLine + ": a redirect loop back to " + forLog(withoutCredentials(next));
        return false;
    }
    if (int(trail.visited.size()) > kMaxRedirects) {
        result.failure = statusLine + ": more than " + std::to_string(kMaxRedirects) + " redirects, the next to " +
                         forLog(withoutCredentials(next));
        return false;
    }
    trail.visited.push_back(next);
    result.events.push_back(statusLine + ": redirected to " + forLog(withoutCredentials(next)));
    return true;
}

}  // namespace

KeptConnection::KeptConnection() = default;
KeptConnection::~KeptConnection() = default;

void KeptConnection::drop() { connection.reset(); }

bool splitUrl(const std::string& url, std::string& host, std::string& path) {
    const size_t prefix = url.find("http://");
    const size_t hostStart = prefix == std::string::npos ? 0 : prefix + 7;
    const size_t slash = url.find('/', hostStart);
    if (slash == std::string::npos) return false;
    host = url.substr(hostStart, slash - hostStart);
    path = url.substr(slash);
    return true;
}

bool splitHostPort(const std::string& host, std::string& name, std::string& port, const char* defaultPort) {
    std::string portText;
    bool hasPort = false;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(1, close - 1);
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') return false;
            portText = host.substr(close + 2);
            hasPort = true;
        }
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string::npos && host.find(':', colon + 1) != std::string::npos) return false;
        name = host.substr(0, colon);
        if (colon != std::string::npos) {
            portText = host.substr(colon + 1);
            hasPort = true;
        }
    }
    if (!hasPort) {
        port = defaultPort;
        return true;
    }
    if (portText.empty() || portText.size() > 5) return false;
    long value = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = std::to_string(value);
    return true;
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

bool connectToHost(PlatformSocket& socket, const std::string& host, const HttpOptions& options,
                   const char* defaultPort) {
    socket = kNoSocket;
    std::string name, port;
    if (!splitHostPort(host, name, port, defaultPort) || name.empty()) return false;
    std::vector<PlatformAddress> addresses;
    if (!platformResolve(name, port, addresses)) return false;
    return connectToAny(socket, addresses, options);
}

bool httpGet(const std::string& url, const std::string& bodyPath, int64_t maxBytes, const HttpOptions& options,
             HttpResult* out) {
    HttpResult local;
    HttpResult& result = out ? *out : local;
    result = HttpResult();
    RedirectTrail redirects(url);
    std::string current = url;
    bool mayResume = options.resume;
    for (;;) {
        std::string next, statusLine;
        switch (fetchOnce(current, bodyPath, maxBytes, options, mayResume, result, next, statusLine)) {
        case Step::Stored:
            return true;
        case Step::StaleConnection:
            // Not a failure of the transfer, and not told as one: the same request again.
            result.failure.clear();
            result.retryable = false;
            continue;
        case Step::NoResponse:
            // Nothing arrived: what stands at the name is no body of this transfer. Only what
            // a resume may continue stays.
            if (!options.resume) platformRemoveFile(bodyPath);
            return true;
        case Step::Failed:
            return false;
        case Step::Restart:
            result.events.push_back(statusLine + " to a range request: fetched from the start");
            platformRemoveFile(bodyPath);
            mayResume = false;
            break;
        case Step::Answered:
            return false;
        case Step::Redirect:
            if (!follow(redirects, next, statusLine, result)) return false;
            current = next;
            break;
        }
    }
}

HttpResponse::HttpResponse() = default;
HttpResponse::~HttpResponse() = default;

int64_t HttpResponse::receive(char* buffer, size_t capacity) {
    if (!open_ || !open_->connection) return kSocketFailed;
    const int64_t length = head.contentLength;
    if (length >= 0 && bodyReceived_ >= length) return 0;
    if (length >= 0) capacity = size_t(std::min<int64_t>(int64_t(capacity), length - bodyReceived_));
    int64_t count;
    if (open_->pendingAt < open_->pending.size()) {
        count = int64_t(std::min(capacity, open_->pending.size() - open_->pendingAt));
        std::copy_n(open_->pending.data() + open_->pendingAt, size_t(count), buffer);
        open_->pendingAt += size_t(count);
    } else {
        count = open_->connection->receive(buffer, capacity);
    }
    if (count > 0) bodyReceived_ += count;
    return count;
}

void HttpResponse::keepConnection() {
    // Bytes that came behind the body with its head would be taken for the next answer's.
    if (!open_ || !open_->connection || !open_->keep || !open_->keepable || !head.keepAlive ||
        head.contentLength < 0 || bodyReceived_ != head.contentLength || open_->pendingAt != open_->pending.size())
        return;
    open_->keep->server = open_->server;
    open_->keep->connection = std::move(open_->connection);
}

bool httpOpen(const std::string& url, const std::string& extraFields, const HttpOptions& options,
              HttpResponse& response, HttpResult* out) {
    HttpResult local;
    HttpResult& result = out ? *out : local;
    result = HttpResult();
    RedirectTrail redirects(url);
    std::string current = url;
    for (;;) {
        std::string next, statusLine;
        response.head = HttpResponseHead();
        response.bodyReceived_ = 0;
        response.open_.reset(new HttpResponse::Open);
        switch (sendRequest(current, extraFields, options, result, response, *response.open_, next, statusLine)) {
        case Step::Answered:
            return true;
        case Step::StaleConnection:
            result.failure.clear();
            result.retryable = false;
            continue;
        case Step::NoResponse:
            result.retryable = true;
            return false;
        case Step::Redirect:
            if (!follow(redirects, next, statusLine, result)) return false;
            current = next;
            break;
        default:
            return false;
        }
    }
}
