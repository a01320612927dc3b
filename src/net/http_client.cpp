// The HTTP/1.0 client: one GET over a new TCP connection, the body streamed into a local file.
#include "net/http_client.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "net/connection.h"
#include "net/http_response.h"
#include "util/file_system.h"

namespace {

// Receive size; memory stays this small whatever the size of the file.
constexpr size_t kBlockSize = 64 * 1024;
// A server whose header does not end within this much is not an update server.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
const char* const kPartSuffix = ".part";

// The host and path go into the request line as they are: a space or a line break would let
// the URL rewrite the request.
bool isSafeInRequest(const std::string& text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

// The temporary file of one transfer: removed unless commit() renamed it into place.
class PartFile {
public:
    explicit PartFile(const std::string& localPath) : localPath_(localPath), partPath_(localPath + kPartSuffix) {}
    ~PartFile() {
        if (file_) std::fclose(file_);
        if (opened_ && !committed_) std::remove(partPath_.c_str());
    }
    // Empties a stale file of an earlier run.
    bool open() {
        file_ = std::fopen(partPath_.c_str(), "wb");
        opened_ = file_ != nullptr;
        return opened_;
    }
    bool write(const char* data, size_t length) {
        return length == 0 || std::fwrite(data, 1, length, file_) == length;
    }
    // Closes the file (a failed flush is a failed write) and renames it to the local path.
    bool commit() {
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (!closed) return false;
        std::error_code error;
        std::filesystem::rename(partPath_, localPath_, error);
        committed_ = !error;
        return committed_;
    }

private:
    std::string localPath_;
    std::string partPath_;
    FILE* file_ = nullptr;
    bool opened_ = false;
    bool committed_ = false;
};

}  // namespace

bool splitUrl(const std::string& url, std::string& host, std::string& path, bool* secure) {
    const size_t plain = url.find("http://");
    const size_t tls = url.find("https://");
    const bool isTls = tls < plain;
    const size_t prefix = isTls ? tls : plain;
    const size_t hostStart = prefix == std::string::npos ? 0 : prefix + (isTls ? 8 : 7);
    const size_t slash = url.find('/', hostStart);
    if (slash == std::string::npos) return false;
    host = url.substr(hostStart, slash - hostStart);
    path = url.substr(slash);
    if (secure) *secure = isTls;
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

bool httpGet(const std::string& url, const std::string& localPath, int64_t maxBytes, const HttpOptions& options,
             std::string* failure) {
    std::string host, path;
    bool secure = false;
    if (!splitUrl(url, host, path, &secure)) return false;
    if (!isSafeInRequest(host) || !isSafeInRequest(path)) return false;
    const char* defaultPort = secure ? "443" : "80";
    PlatformSocket socket;
    if (!connectToHost(socket, host, options, defaultPort)) return false;
    Connection connection(socket, options.stallTimeoutMs, options.cancel);
    std::string name, port;
    // Never plain text instead: a refused handshake fails the transfer.
    if (secure && !(splitHostPort(host, name, port, defaultPort) && connection.startTls(name))) {
        if (failure) *failure = connection.error();
        return false;
    }

    const std::string request =
        "GET " + path + " HTTP/1.0\r\nUser-Agent: Wux\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    if (!connection.sendAll(request.data(), request.size())) return false;

    std::unique_ptr<char[]> block(new char[kBlockSize]);
    // The header may come in pieces; the bytes behind its blank line are the body's first.
    std::string head;
    size_t headerEnd;
    for (;;) {
        const int64_t count = connection.receive(block.get(), kBlockSize);
        // A server that hangs up before saying anything leaves no file; the caller sees it missing.
        if ((count == 0 || count == kSocketFailed) && head.empty()) return true;
        if (count <= 0) return false;
        // Only the new bytes (and the three before them) can complete the blank line.
        const size_t searchFrom = head.size() < 3 ? 0 : head.size() - 3;
        head.append(block.get(), size_t(count));
        headerEnd = head.find("\r\n\r\n", searchFrom);
        if (headerEnd != std::string::npos) break;
        if (head.size() > kMaxHeaderBytes) return false;
    }
    if (headerEnd > kMaxHeaderBytes) return false;
    HttpResponseHead response;
    // An error page must never become the file.
    if (!parseResponseHead(head.substr(0, headerEnd), response) || !response.success) return false;
    // 0, like a missing length, leaves the end to the server closing the connection (HTTP/1.0).
    const int64_t contentLength = response.contentLength > 0 ? response.contentLength : 0;

    PartFile file(localPath);
    if (!file.open()) return false;
    int64_t received = 0;
    // Bytes past the declared length are not part of the body.
    auto store = [&](const char* data, size_t length) {
        if (contentLength > 0 && int64_t(length) > contentLength - received)
            length = size_t(contentLength - received);
        received += int64_t(length);
        return file.write(data, length);
    };
    const size_t bodyStart = headerEnd + 4;
    if (!store(head.data() + bodyStart, head.size() - bodyStart)) return false;
    head.clear();
    head.shrink_to_fit();

    for (;;) {
        if (contentLength > 0 && received >= contentLength) break;
        if (maxBytes > 0 && received > maxBytes) return false;
        const int64_t count = connection.receive(block.get(), kBlockSize);
        if (count == 0) {
            // A short body is never a complete file.
            if (contentLength > 0) return false;
            break;
        }
        if (count < 0) return false;
        if (!store(block.get(), size_t(count))) return false;
    }
    return file.commit();
}
