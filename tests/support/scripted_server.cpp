// A loopback TCP server that misbehaves on purpose, for the network client's tests.
#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::string ScriptedConnection::target() const {
    const size_t start = request_.find(' ');
    if (start == std::string::npos) return "";
    const size_t end = request_.find(' ', start + 1);
    return request_.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

std::string ScriptedConnection::url(const std::string& path) const { return server_.url(path); }

bool ScriptedConnection::send(const std::string& bytes) {
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
    linger option{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close(fd_);
    fd_ = -1;
}

ScriptedServer::ScriptedServer(ConnectionScript script, bool ipv6) : script_(std::move(script)), ipv6_(ipv6) {
    listenFd_ = listenOnLoopback(ipv6, 64, port_);
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
}

std::string ScriptedServer::url(const std::string& path) const {
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

bool ScriptedConnection::readRequest(int timeoutMs) {
    request_.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // One byte at a time: what follows the blank line belongs to the next request.
    char byte;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(server_.lock_);
            if (server_.stopping_) return false;
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) continue;
        if (recv(fd_, &byte, 1, 0) <= 0) return false;
        request_ += byte;
        if (request_.size() >= 4 && request_.compare(request_.size() - 4, 4, "\r\n\r\n") == 0) return true;
    }
}

bool ScriptedConnection::requestWaiting() const {
    char byte;
    return fd_ >= 0 && recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
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
    // A client that stops early still gets the script.
    connection.readRequest(-1);
    {
        std::lock_guard<std::mutex> guard(lock_);
        targets_[index] = connection.target();
        ++requestsArrived_;
    }
    changed_.notify_all();
    script_(connection);
    if (connection.fd_ >= 0) close(connection.fd_);
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
