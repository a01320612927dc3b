// Fuzzes the HTTP client with the input as everything a server answers: the real httpGet
// talks over loopback to a peer in this process that reads the request, sends the input and
// closes. A success must be a 2xx answer whose body is stored exactly (as long as its
// Content-Length when it gives one); a failure must leave neither the file nor its ".part".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "net/http_client.h"
#include "util/file_system.h"

namespace {

// The peer: one connection at a time, each answered with the current input.
struct ReplayPeer {
    int listenFd = -1;
    int port = 0;
    std::mutex lock;
    std::condition_variable changed;
    std::string reply;
    // Connections answered and closed so far.
    uint64_t served = 0;
};

ReplayPeer g_peer;
std::string g_localPath;
std::string g_url;

void serveForever() {
    for (;;) {
        const int fd = accept4(g_peer.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // The whole request first, so that closing afterwards is an orderly end, not a reset.
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            request.append(buffer, size_t(got));
        }
        std::unique_lock<std::mutex> guard(g_peer.lock);
        size_t done = 0;
        while (done < g_peer.reply.size()) {
            // The client may hang up early (a bad status, a complete body): no SIGPIPE then.
            const ssize_t sent = send(fd, g_peer.reply.data() + done, g_peer.reply.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) break;
            done += size_t(sent);
        }
        close(fd);
        ++g_peer.served;
        g_peer.changed.notify_all();
    }
}

bool equalsIgnoringCase(const std::string& text, const std::string& lowercase) {
    if (text.size() != lowercase.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != lowercase[i]) return false;
    return true;
}

// What the header says, read independently of the client.
struct Header {
    bool complete = false;
    std::string body;
    // "HTTP/1.x 2.." at the start.
    bool twoHundred = false;
    // The value of the Content-Length fields that are plain decimal numbers, and whether some
    // field of that name had any other value or two of them disagree.
    bool hasLength = false;
    int64_t length = 0;
    bool lengthDoubtful = false;
    // A Content-Encoding field other than "identity": the stored file is the decoded body.
    bool encoded = false;
    // A Transfer-Encoding field: the body is refused unless the last one says "chunked", whose
    // chunks are decoded.
    bool transferCoded = false;
    bool chunked = false;
    // 204 No Content: the head alone is the answer, whatever follows it.
    bool noContent = false;
};

// Where the first blank line (CRLF CRLF, LF LF or LF CRLF) of `text` ends, or npos; `end` is
// where the header's text before it ends.
size_t blankLineEnd(const std::string& text, size_t& end) {
    const size_t crlf = text.find("\r\n\r\n"), lf = text.find("\n\n"), mixed = text.find("\n\r\n");
    end = std::min({crlf, lf, mixed});
    if (end == std::string::npos) return end;
    if (end == crlf) return end + 4;
    const size_t after = end == lf ? end + 2 : end + 3;
    if (end > 0 && text[end - 1] == '\r') --end;
    return after;
}

Header readHeader(std::string input) {
    Header header;
    size_t end, bodyStart;
    // Interim answers ("HTTP/1.1 100 Continue") come before the answer and are passed over.
    for (;;) {
        bodyStart = blankLineEnd(input, end);
        if (bodyStart == std::string::npos) return header;
        const bool interim = input.compare(0, 7, "HTTP/1.") == 0 && input.size() > 12 && input[8] == ' ' &&
                             input[9] == '1' && std::isdigit((unsigned char)input[10]) &&
                             std::isdigit((unsigned char)input[11]);
        if (!interim) break;
        input = input.substr(bodyStart);
    }
    header.complete = true;
    header.body = input.substr(bodyStart);
    header.twoHundred = input.compare(0, 7, "HTTP/1.") == 0 && input.size() > 9 && input[9] == '2';
    header.noContent = header.twoHundred && input.compare(9, 3, "204") == 0 &&
                       (input.size() == 12 || !std::isdigit((unsigned char)input[12]));
    size_t lineStart = input.find('\n');
    while (lineStart != std::string::npos && lineStart < end) {
        ++lineStart;
        size_t lineEnd = input.find('\n', lineStart);
        if (lineEnd == std::string::npos || lineEnd > end) lineEnd = end;
        const std::string line = input.substr(lineStart, lineEnd - lineStart);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && equalsIgnoringCase(line.substr(0, colon), "content-encoding")) {
            std::string value = line.substr(colon + 1);
            const size_t first = value.find_first_not_of(" \t");
            const size_t last = value.find_last_not_of(" \t\r");
            value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
            if (!value.empty() && !equalsIgnoringCase(value, "identity")) header.encoded = true;
        }
        if (colon != std::string::npos && equalsIgnoringCase(line.substr(0, colon), "transfer-encoding")) {
            header.transferCoded = true;
            std::string value = line.substr(colon + 1);
            const size_t first = value.find_first_not_of(" \t");
            const size_t last = value.find_last_not_of(" \t\r");
            value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
            header.chunked = equalsIgnoringCase(value, "chunked");
        }
        if (colon != std::string::npos && equalsIgnoringCase(line.substr(0, colon), "content-length")) {
            std::string value = line.substr(colon + 1);
            const size_t first = value.find_first_not_of(" \t");
            const size_t last = value.find_last_not_of(" \t\r");
            value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
                header.lengthDoubtful = true;
            } else {
                // Leading zeros change nothing; a value past 18 digits is longer than any body.
                value.erase(0, std::min(value.find_first_not_of('0'), value.size() - 1));
                const int64_t length = value.size() > 18 ? INT64_MAX : std::stoll(value);
                if (header.hasLength && length != header.length) header.lengthDoubtful = true;
                header.hasLength = true;
                header.length = length;
            }
        }
        lineStart = lineEnd < end ? lineEnd : std::string::npos;
    }
    return header;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_peer.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (g_peer.listenFd < 0 || bind(g_peer.listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(g_peer.listenFd, 16) != 0 ||
        getsockname(g_peer.listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fuzzFailure(__FILE__, __LINE__, "listen", "cannot listen on a loopback port");
    g_peer.port = ntohs(address.sin_port);
    std::thread(serveForever).detach();
    g_localPath = makeScratchFolder("http") + "/file.bin";
    g_url = "http://127.0.0.1:" + std::to_string(g_peer.port) + "/file.bin";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    uint64_t servedBefore;
    {
        std::lock_guard<std::mutex> guard(g_peer.lock);
        g_peer.reply = input;
        servedBefore = g_peer.served;
    }
    HttpOptions options;
    options.stallTimeoutMs = 10000;
    const bool ok = httpGet(g_url, g_localPath, 0, options);
    {
        // The next input must not replace the reply while the peer still sends this one.
        std::unique_lock<std::mutex> guard(g_peer.lock);
        const bool served = g_peer.changed.wait_for(guard, std::chrono::seconds(10),
                                                    [&] { return g_peer.served > servedBefore; });
        FUZZ_CHECK(served, "the peer never answered the client's connection");
    }

    const bool stored = pathExists(g_localPath);
    FUZZ_CHECK(!pathExists(g_localPath + ".part"), "a .part file was left behind");
    const Header header = readHeader(input);
    if (!ok) {
        FUZZ_CHECK(!stored, "a failed transfer left a file");
        // Completeness, for the plainest answers: 200, a trustworthy length, the whole body.
        const bool plain = input.compare(0, 17, "HTTP/1.0 200 OK\r\n") == 0 && header.complete &&
                           input.size() - header.body.size() <= 64 * 1024 && !header.lengthDoubtful &&
                           !header.encoded && !header.transferCoded &&
                           (!header.hasLength || header.length <= int64_t(header.body.size()));
        FUZZ_CHECK(!plain, "a well-formed 200 answer with its whole body failed");
        return 0;
    }
    if (input.empty()) {
        // A server that hangs up without a word: no file, which the caller sees as missing.
        FUZZ_CHECK(!stored, "a file was stored from an empty answer");
        return 0;
    }
    FUZZ_CHECK(stored, "a successful transfer of a non-empty answer stored nothing");
    FUZZ_CHECK(header.complete, "a file was stored from an answer without the blank line ending its header");
    FUZZ_CHECK(header.twoHundred, "a file was stored from an answer that is not 2xx");
    FUZZ_CHECK(!header.lengthDoubtful, "a file was stored from an answer with a doubtful Content-Length");
    FUZZ_CHECK(!header.transferCoded || header.chunked, "a file was stored from an answer with a transfer coding");
    std::string body;
    FUZZ_CHECK(readWholeFile(body, g_localPath), "the stored file cannot be read");
    if (header.noContent) FUZZ_CHECK(body.empty(), "a 204 answer stored what came behind its head");
    // A decoded body is checked by the tests that encode one; here only that something came.
    if (header.encoded || header.chunked || header.noContent) {
        std::remove(g_localPath.c_str());
        return 0;
    }
    // 0 leaves the end to the closing of the connection, as a missing length does.
    if (header.hasLength && header.length > 0) {
        FUZZ_CHECK(int64_t(body.size()) == header.length, "the stored body is not as long as its Content-Length");
        FUZZ_CHECK(header.body.compare(0, body.size(), body) == 0, "the stored body is not what was sent");
    } else {
        FUZZ_CHECK(body == header.body, "the stored body is not everything sent after the header");
    }
    std::remove(g_localPath.c_str());
    return 0;
}
