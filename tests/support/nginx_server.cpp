// Starts Debian's nginx with a configuration of its own in a temporary folder.
#include "support/nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

std::string nginxBinary() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx"})
        if (access(candidate, X_OK) == 0) return candidate;
    return "nginx";
}

std::string configFor(const std::string& dir, const std::string& root, int port, const std::string& extra,
                      const NginxTls& tls) {
    std::string config;
    config += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    config += "error_log " + dir + "/error.log;\npid " + dir + "/nginx.pid;\n";
    config += "events { worker_connections 1024; }\n";
    config += "http {\n";
    // nginx's "combined" format, the request's Range field, which a resumed download sends,
    // whether it came behind another unanswered one ("p", pipelined, or "."), and the
    // connection's number, which requests over a kept connection share.
    config += "  log_format kib '$remote_addr - $remote_user [$time_local] \"$request\" $status "
              "$body_bytes_sent \"$http_referer\" \"$http_user_agent\" \"$http_range\" $pipe c$connection';\n";
    config += "  access_log " + dir + "/access.log kib;\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += std::string("  ") + kind + "_temp_path " + dir + "/" + kind + ";\n";
    config += "  default_type application/octet-stream;\n  sendfile on;\n";
    config += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + (tls.certificateFile.empty() ? "" : " ssl") +
              (tls.http2 ? " http2" : "") + ";\n";
    if (!tls.certificateFile.empty())
        config += "    ssl_certificate " + tls.certificateFile + ";\n    ssl_certificate_key " + tls.keyFile + ";\n";
    config += "    root " + root + ";\n" + extra + "\n  }\n}\n";
    return config;
}

}  // namespace

int pickFreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool waitForLoopbackPort(int port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(port));
        const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

NginxServer::NginxServer(const std::string& root, const std::string& extraServerConfig, const NginxTls& tls)
    : tls_(!tls.certificateFile.empty()) {
    const std::string absoluteRoot = std::filesystem::absolute(root).string();
    // Another process may take the port between the probe and nginx's bind: try a few.
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        const int port = pickFreeLoopbackPort();
        work_.write("nginx.conf", configFor(work_.path(), absoluteRoot, port, extraServerConfig, tls));
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{nginxBinary(), "-p", work_.path(), "-c", work_.file("nginx.conf"),
                                     "-e", work_.file("error.log")},
            ProcessOptions{"", {}, {}, 24 * 3600 * 1000});
        if (waitForLoopbackPort(port, 5000)) {
            port_ = port;
        } else {
            error_ = "nginx did not start: " + process_->errorSoFar() + work_.read("error.log");
            process_.reset();
        }
    }
}

NginxServer::~NginxServer() { stop(); }

void NginxServer::stop() {
    if (!process_) return;
    process_->sendSignal(SIGTERM);
    process_->wait(3000);
    process_.reset();
}

std::string NginxServer::baseUrl() const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + "/";
}

std::string NginxServer::accessLog() const { return work_.read("access.log"); }
