// A loopback TCP server that misbehaves on purpose, for the network client's tests.
#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/nginx_server.h"

namespace {

// Binds a listening socket to the loopback address at an ephemeral port; -1 on failure.
int listenOnLoopback(bool ipv6, int backlog, int& port) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage storage{};
    socklen_t length;
    if (ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *address;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    return fd;
}

// The ranges of a "Range: bytes=a-b,c-d" field, [start, end) each; empty when there is none.
std::vector<std::pair<uint64_t, uint64_t>> askedRanges(const std::string& request, uint64_t size) {
    std::string lowered = request;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    const std::string name = "\r\nrange: bytes=";
    const size_t field = lowered.find(name);
    if (field == std::string::npos) return ranges;
    const size_t from = field + name.size();
    std::istringstream list(request.substr(from, request.find("\r\n", from) - from));
    std::string one;
    while (std::getline(list, one, ',')) {
        const size_t dash = one.find('-');
        const uint64_t first = std::stoull(one.substr(0, dash));
        const std::string last = one.substr(dash + 1);
        ranges.push_back({first, last.empty() ? size : std::min<uint64_t>(size, std::stoull(last) + 1)});
    }
    return ranges;
}

// ALPN: "h2" when the server speaks it and the client offers it, else HTTP/1.1 (or nothing).
int chooseProtocol(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                   unsigned int inLength, void* http2) {
    static const unsigned char kBoth[] = "\x02h2\x08http/1.1";
    const unsigned char* ours = *static_cast<bool*>(http2) ? kBoth : kBoth + 3;
    const unsigned int oursLength = *static_cast<bool*>(http2) ? sizeof kBoth - 1 : sizeof kBoth - 4;
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outLength, ours, oursLength, in, inLength) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

std::string frameHeader(size_t length, uint8_t type, uint8_t flags, int32_t stream) {
    const char header[9] = {char(length >> 16), char(length >> 8), char(length), char(type), char(flags),
                            char(uint32_t(stream) >> 24 & 0x7f), char(stream >> 16), char(stream >> 8), char(stream)};
    return std::string(header, sizeof header);
}

std::string contentRange(uint64_t start, uint64_t end, uint64_t size) {
    return "Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(end - 1) + "/" + std::to_string(size) +
           "\r\n";
}

}  // namespace

ConnectionScript fileServer(const std::string& root, RangeAnswer answer) {
    return [root, answer](ScriptedConnection& connection) {
        const std::string target = connection.target();
        const std::string path = target.substr(0, target.find('?'));
        std::ifstream in(root + path, std::ios::binary);
        if (connection.request().compare(0, 4, "GET ") != 0 || path.find("..") != std::string::npos || !in) {
            connection.send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto ranges = askedRanges(connection.request(), file.size());
        if (ranges.empty()) {
            connection.send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(file.size()) + "\r\n\r\n" + file);
            return;
        }
        if (answer == RangeAnswer::ToTheEnd) ranges = {{ranges.front().first, file.size()}};
        if (answer == RangeAnswer::Reversed) std::reverse(ranges.begin(), ranges.end());
        if (answer == RangeAnswer::FirstOnly || ranges.size() == 1) {
            const auto [start, end] = ranges.front();
            connection.send("HTTP/1.0 206 Partial Content\r\n" + contentRange(start, end, file.size()) +
                            "Content-Length: " + std::to_string(end - start) + "\r\n\r\n" + file.substr(start, end - start));
            return;
        }
        std::string body;
        for (const auto& [start, end] : ranges)
            body += "\r\n--kibparts\r\n" + contentRange(start, end, file.size()) + "\r\n" + file.substr(start, end - start);
        body += "\r\n--kibparts--\r\n";
        connection.send("HTTP/1.0 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=kibparts\r\n"
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    };
}

std::string headerBlock(const HeaderFields& fields) {
    // nghttp2's encoder checks nothing of what it encodes; a fresh one per block, and fields
    // never indexed, so that no block depends on another.
    std::vector<nghttp2_nv> list;
    for (const auto& [name, value] : fields)
        list.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                        reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                        NGHTTP2_NV_FLAG_NO_INDEX});
    nghttp2_hd_deflater* deflater = nullptr;
    if (nghttp2_hd_deflate_new(&deflater, 4096) != 0) return "";
    std::string block(nghttp2_hd_deflate_bound(deflater, list.data(), list.size()), '\0');
    const ssize_t length =
        nghttp2_hd_deflate_hd(deflater, reinterpret_cast<uint8_t*>(&block[0]), block.size(), list.data(), list.size());
    nghttp2_hd_deflate_del(deflater);
    block.resize(length < 0 ? 0 : size_t(length));
    return block;
}

bool ScriptedConnection::sendFrame(uint8_t type, uint8_t flags, int32_t stream, const std::string& payload) {
    return send(frameHeader(payload.size(), type, flags, stream) + payload);
}

bool ScriptedConnection::answerHttp2(int32_t stream, const std::string& status, const std::string& body,
                                     bool withLength) {
    HeaderFields fields = {{":status", status}};
    if (withLength) fields.emplace_back("content-length", std::to_string(body.size()));
    if (!sendFrame(NGHTTP2_HEADERS, NGHTTP2_FLAG_END_HEADERS | (body.empty() ? NGHTTP2_FLAG_END_STREAM : 0), stream,
                   headerBlock(fields)))
        return false;
    for (size_t at = 0; at < body.size(); at += 16384) {
        const bool last = at + 16384 >= body.size();
        if (!sendFrame(NGHTTP2_DATA, last ? NGHTTP2_FLAG_END_STREAM : 0, stream, body.substr(at, 16384))) return false;
    }
    return true;
}

ScriptedConnection::~ScriptedConnection() {
    if (inflater_) nghttp2_hd_inflate_del(inflater_);
    if (ssl_) {
        if (fd_ >= 0) SSL_shutdown(ssl_);
        SSL_free(ssl_);
    }
    if (fd_ >= 0) close(fd_);
}

std::string ScriptedConnection::target() const {
    const size_t start = request_.find(' ');
    if (start == std::string::npos) return "";
    const size_t end = request_.find(' ', start + 1);
    return request_.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

std::string ScriptedConnection::url(const std::string& path) const { return server_.url(path); }

bool ScriptedConnection::send(const std::string& bytes) {
    if (fd_ < 0) return false;
    if (ssl_) return bytes.empty() || SSL_write(ssl_, bytes.data(), int(bytes.size())) == int(bytes.size());
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += size_t(sent);
    }
    return true;
}

void ScriptedConnection::pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void ScriptedConnection::hold() {
    std::unique_lock<std::mutex> guard(server_.lock_);
    server_.changed_.wait(guard, [this] { return server_.stopping_ || server_.releases_ > 0; });
    if (server_.releases_ > 0) --server_.releases_;
}

void ScriptedConnection::reset() {
    if (fd_ < 0) return;
    linger option{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close(fd_);
    fd_ = -1;
}

ScriptedServer::ScriptedServer(ConnectionScript script, const NginxTls& tls)
    : script_(std::move(script)), ipv6_(false), http2_(tls.http2) {
    // Ready before the first connection can be accepted.
    tls_ = SSL_CTX_new(TLS_server_method());
    if (!tls_ || SSL_CTX_use_certificate_chain_file(tls_, tls.certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return;
    SSL_CTX_set_alpn_select_cb(tls_, chooseProtocol, &http2_);
    start();
}

ScriptedServer::ScriptedServer(ConnectionScript script, bool ipv6) : script_(std::move(script)), ipv6_(ipv6) {
    start();
}

void ScriptedServer::start() {
    listenFd_ = listenOnLoopback(ipv6_, 64, port_);
    if (listenFd_ < 0) {
        port_ = 0;
        return;
    }
    acceptThread_ = std::thread(&ScriptedServer::acceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    // Only the accept thread adds connection threads, and it has ended.
    for (std::thread& thread : connectionThreads_) thread.join();
    if (listenFd_ >= 0) close(listenFd_);
    if (tls_) SSL_CTX_free(tls_);
}

std::string ScriptedServer::url(const std::string& path) const {
    if (tls_) return "https://localhost:" + std::to_string(port_) + path;
    return std::string(ipv6_ ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::targets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return targets_;
}

bool ScriptedServer::waitForRequests(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return requestsArrived_ >= count; });
}

void ScriptedServer::releaseOne() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++releases_;
    }
    changed_.notify_all();
}

void ScriptedServer::acceptLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return;
        }
        pollfd ready{listenFd_, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        size_t index;
        {
            std::lock_guard<std::mutex> guard(lock_);
            index = targets_.size();
            targets_.emplace_back();
        }
        connectionThreads_.emplace_back(&ScriptedServer::serve, this, fd, index);
    }
}

bool ScriptedConnection::fill(size_t count, int timeoutMs, std::chrono::steady_clock::time_point deadline) {
    char block[16384];
    while (in_.size() < count) {
        {
            std::lock_guard<std::mutex> guard(server_.lock_);
            if (server_.stopping_) return false;
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        pollfd ready{fd_, POLLIN, 0};
        if (!(ssl_ && SSL_pending(ssl_) > 0) && poll(&ready, 1, 20) <= 0) continue;
        // Over plain TCP one byte at a time: what follows a request belongs to the next one.
        const int got = ssl_ ? SSL_read(ssl_, block, sizeof block) : int(recv(fd_, block, 1, 0));
        if (got <= 0) return false;
        in_.append(block, size_t(got));
    }
    return true;
}

bool ScriptedConnection::readRequest(int timeoutMs) {
    if (http2_) return readHttp2Request(timeoutMs);
    request_.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!fill(1, timeoutMs, deadline)) return false;
        request_ += in_[0];
        in_.erase(0, 1);
        if (request_.size() >= 4 && request_.compare(request_.size() - 4, 4, "\r\n\r\n") == 0) return true;
    }
}

bool ScriptedConnection::readHttp2Request(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!prefaceRead_) {
        if (!fill(NGHTTP2_CLIENT_MAGIC_LEN, timeoutMs, deadline)) return false;
        in_.erase(0, NGHTTP2_CLIENT_MAGIC_LEN);
        prefaceRead_ = true;
    }
    std::string block;
    int32_t blockStream = 0;
    for (;;) {
        if (!fill(9, timeoutMs, deadline)) return false;
        const size_t length = size_t(uint8_t(in_[0])) << 16 | size_t(uint8_t(in_[1])) << 8 | uint8_t(in_[2]);
        const uint8_t type = uint8_t(in_[3]), flags = uint8_t(in_[4]);
        const int32_t id = int32_t((uint32_t(uint8_t(in_[5])) & 0x7f) << 24 | uint32_t(uint8_t(in_[6])) << 16 |
                                   uint32_t(uint8_t(in_[7])) << 8 | uint8_t(in_[8]));
        if (!fill(9 + length, timeoutMs, deadline)) return false;
        std::string payload = in_.substr(9, length);
        in_.erase(0, 9 + length);
        if (type == NGHTTP2_SETTINGS && !(flags & NGHTTP2_FLAG_ACK)) {
            sendFrame(NGHTTP2_SETTINGS, NGHTTP2_FLAG_ACK, 0, "");
            continue;
        }
        if (type == NGHTTP2_HEADERS) {
            size_t skip = flags & NGHTTP2_FLAG_PADDED ? 1 : 0;
            const size_t padding = skip ? uint8_t(payload[0]) : 0;
            if (flags & NGHTTP2_FLAG_PRIORITY) skip += 5;
            block = payload.substr(skip, payload.size() - skip - padding);
            blockStream = id;
        } else if (type == NGHTTP2_CONTINUATION && id == blockStream) {
            block += payload;
        } else {
            continue;
        }
        if (!(flags & NGHTTP2_FLAG_END_HEADERS)) continue;
        if (!inflater_ && nghttp2_hd_inflate_new(&inflater_) != 0) return false;
        std::string path, fields;
        auto in = reinterpret_cast<const uint8_t*>(block.data());
        size_t left = block.size();
        for (;;) {
            nghttp2_nv field;
            int inflated = 0;
            const ssize_t used = nghttp2_hd_inflate_hd2(inflater_, &field, &inflated, in, left, 1);
            if (used < 0) return false;
            in += used;
            left -= size_t(used);
            if (inflated & NGHTTP2_HD_INFLATE_EMIT) {
                const std::string name(reinterpret_cast<const char*>(field.name), field.namelen);
                const std::string value(reinterpret_cast<const char*>(field.value), field.valuelen);
                if (name == ":path") path = value;
                else if (name[0] != ':') fields += name + ": " + value + "\r\n";
            }
            if (inflated & NGHTTP2_HD_INFLATE_FINAL) break;
            if (!(inflated & NGHTTP2_HD_INFLATE_EMIT) && left == 0) break;
        }
        nghttp2_hd_inflate_end_headers(inflater_);
        request_ = "GET " + path + " HTTP/2\r\n" + fields + "\r\n";
        stream_ = blockStream;
        return true;
    }
}

bool ScriptedConnection::requestWaiting() const {
    char byte;
    if (fd_ >= 0 && ssl_ && SSL_pending(ssl_) > 0) return true;
    return fd_ >= 0 && (!in_.empty() || recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1);
}

bool ScriptedConnection::nextRequest(int timeoutMs) {
    if (fd_ < 0 || !readRequest(timeoutMs)) return false;
    {
        std::lock_guard<std::mutex> guard(server_.lock_);
        server_.targets_.push_back(target());
        ++server_.requestsArrived_;
    }
    server_.changed_.notify_all();
    return true;
}

void ScriptedServer::serve(int fd, size_t index) {
    ScriptedConnection connection(*this, fd);
    if (tls_) {
        // A write to a client that has gone fails instead of ending the tests (OpenSSL writes
        // without MSG_NOSIGNAL); blocked on this thread only, so that no child inherits it.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        // Bounded, so that a client that never finishes its handshake cannot keep the thread.
        const timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connection.ssl_ = SSL_new(tls_);
        if (!connection.ssl_ || SSL_set_fd(connection.ssl_, fd) != 1 || SSL_accept(connection.ssl_) != 1) return;
        const unsigned char* chosen = nullptr;
        unsigned int length = 0;
        SSL_get0_alpn_selected(connection.ssl_, &chosen, &length);
        connection.http2_ = length == 2 && std::memcmp(chosen, "h2", 2) == 0;
        // The server's preface.
        if (connection.http2_ && !connection.sendFrame(NGHTTP2_SETTINGS, 0, 0, "")) return;
    }
    // A client that stops early still gets the script.
    connection.readRequest(-1);
    {
        std::lock_guard<std::mutex> guard(lock_);
        targets_[index] = connection.target();
        ++requestsArrived_;
    }
    changed_.notify_all();
    script_(connection);
}

UnansweredListener::UnansweredListener() {
    // A backlog of 0 admits one connection, which this object makes itself and never accepts.
    listenFd_ = listenOnLoopback(false, 0, port_);
    if (listenFd_ < 0) {
        port_ = 0;
        return;
    }
    fillerFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port_));
    if (connect(fillerFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) port_ = 0;
}

UnansweredListener::~UnansweredListener() {
    if (fillerFd_ >= 0) close(fillerFd_);
    if (listenFd_ >= 0) close(listenFd_);
}

std::string gzippedZeros(size_t size) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    const std::string zeros(1 << 20, '\0');
    std::string packed;
    char out[1 << 16];
    size_t left = size;
    int flush;
    do {
        const size_t piece = std::min(left, zeros.size());
        left -= piece;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        stream.avail_in = uInt(piece);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out);
            stream.avail_out = sizeof out;
            deflate(&stream, flush);
            packed.append(out, sizeof out - stream.avail_out);
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&stream);
    return packed;
}
