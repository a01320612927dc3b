// The HTTP client's two entries: httpGet stores a body, httpOpen hands an answer over.
#include "net/http_client.h"

#include <algorithm>
#include <cstdint>

#include "net/connection.h"
#include "net/pipelining.h"
#include "net/http_request.h"
#include "net/redirects.h"
#include "net/response_body.h"
#include "util/file_system.h"

namespace {

// Statuses that say "not now" rather than "never".
bool isRetryableStatus(int status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// Servers label ".gz" files as gzip-encoded; such a body is the file itself.
bool namesGzipFile(const std::string& path) {
    const std::string bare = path.substr(0, path.find('?'));
    return bare.size() >= 3 && bare.compare(bare.size() - 3, 3, ".gz") == 0;
}

// The size of what an earlier attempt left; 0 when nothing (or no regular file) is there.
int64_t partSize(const std::string& bodyPath) { return std::max<int64_t>(0, fileSize(bodyPath)); }

// The most bytes a body may put into its file: `maxBytes`, and `perAnnouncedByte` times the
// length the server announced (but at least `floor`), whichever is smaller; -1 when neither
// applies.
int64_t writtenBound(int64_t maxBytes, int64_t perAnnouncedByte, int64_t floor, int64_t announced) {
    int64_t bound = maxBytes > 0 ? maxBytes : -1;
    if (perAnnouncedByte > 0 && announced >= 0) {
        int64_t scaled = announced > INT64_MAX / perAnnouncedByte ? INT64_MAX : announced * perAnnouncedByte;
        scaled = std::max(scaled, floor);
        if (bound < 0 || scaled < bound) bound = scaled;
    }
    return bound;
}

// Room beside the file a body goes to: what a full disk would cut short is better refused before
// the first byte. A little more than the body, for the small files the run writes beside it.
constexpr int64_t kRoomToSpare = int64_t(64) << 10;

bool roomFor(int64_t bytes, const std::string& bodyPath, HttpResult& result) {
    if (bytes <= 0) return true;
    const int64_t free = platformFreeBytes(directoryOf(bodyPath));
    if (free < 0 || free >= bytes + kRoomToSpare) return true;
    result.diskFull = true;
    result.bytesMissing = bytes + kRoomToSpare - free;
    result.failure = "not enough free space on the disk for " + std::to_string(bytes) + " bytes";
    return false;
}

// How the body of `head` is stored at `path`: decoded, sniffed or continued. False, with
// `result` saying why, for an encoding the updater cannot undo or a range it did not ask for.
bool planStorage(const HttpResponseHead& head, const std::string& requestPath, int64_t resumeFrom,
                 const HttpOptions& options, BodyStorage& storage, HttpResult& result) {
    // A ".gz" sent gzip-encoded is the file itself when the server merely labels ".gz" files so
    // (AddEncoding), or the file compressed once more on the fly (a forced mod_deflate): only
    // its first decoded bytes tell, gzip's magic again in the second case.
    if (head.contentEncoding == "gzip" || head.contentEncoding == "x-gzip") {
        storage.decode = !namesGzipFile(requestPath);
        storage.sniff = !storage.decode;
    } else if (!head.contentEncoding.empty() && head.contentEncoding != "identity") {
        result.failure = "unsupported Content-Encoding: " + textForLog(head.contentEncoding);
        return false;
    }
    if (head.status == 206) {
        // Only the part the updater asked for may be appended; a decoded body cannot be.
        if (resumeFrom == 0 || storage.decode || head.rangeStart != resumeFrom) {
            result.failure = head.statusLine + " for a range the updater did not ask for";
            platformRemoveFile(storage.path);
            result.retryable = resumeFrom > 0;
            return false;
        }
        storage.append = true;
        result.events.push_back("resumed at byte " + std::to_string(resumeFrom));
        // A continued range is the raw file, as its start was.
        storage.sniff = false;
    } else if (resumeFrom > 0) {
        result.events.push_back(head.statusLine + " to a range request: fetched from the start");
    }
    // A decoded body cannot be continued with a range of the encoded one.
    storage.keepOnFailure = options.resume && !storage.decode && !storage.sniff;
    // What is written is hashed (a decoded body as decoded): the digest is that of the file.
    storage.digest = options.bodyMd5;
    // 0, like a missing length, leaves the end to the server closing the connection (HTTP/1.0).
    storage.contentLength = head.contentLength > 0 ? head.contentLength : 0;
    return true;
}

// The Range field that continues what an earlier attempt left at `bodyPath`; empty when nothing.
std::string resumeField(int64_t resumeFrom) {
    return resumeFrom > 0 ? "Range: bytes=" + std::to_string(resumeFrom) + "-\r\n" : "";
}

// One request for `address` and its answer's body into `bodyPath`; `mayResume` asks for the
// rest of what an earlier attempt left, and is cleared when the server cannot give it.
Step fetchOnce(const Url& address, const std::string& bodyPath, int64_t maxBytes, const HttpOptions& options,
               bool& mayResume, HttpResult& result, Redirect& redirect) {
    RequestRoute route;
    if (!planRoute(address, options, route, result)) return Step::Failed;
    const int64_t resumeFrom = mayResume ? partSize(bodyPath) : 0;
    HttpResponse answer;
    HttpResponse::Open open;
    const Step sent = sendRequest(route, resumeField(resumeFrom), options, result, answer, open, redirect);
    if (sent != Step::Answered) return sent;
    const HttpResponseHead& head = answer.head;
    // The ".part" is longer than the file: it is not the start of this one.
    if (head.status == 416 && resumeFrom > 0) {
        result.events.push_back(head.statusLine + " to a range request: fetched from the start");
        platformRemoveFile(bodyPath);
        mayResume = false;
        return Step::Again;
    }
    // An error page must never become the file.
    if (!head.success) {
        result.failure = head.statusLine;
        result.retryable = isRetryableStatus(head.status);
        return Step::Failed;
    }
    BodyStorage storage;
    storage.path = bodyPath;
    storage.maxBytes = maxBytes;
    storage.maxWritten =
        writtenBound(maxBytes, options.maxBytesPerAnnouncedByte, options.announcedBoundFloor, head.contentLength);
    if (!planStorage(head, route.address.path, resumeFrom, options, storage, result)) return Step::Failed;
    if (options.needsRoom && !roomFor(head.contentLength - (storage.append ? resumeFrom : 0), bodyPath, result))
        return Step::Failed;
    open.body = bodyReaderFor(head, open.source(), open.keepable && head.keepAlive);
    if (!storeBody(open.body, storage, options, result)) {
        // A body cut short behind another: the server may break pipelines.
        if (!result.pipelinedFrom.empty() && result.retryable) stopPipelining(route, options);
        // One that broke HTTP/2 in the middle of a body is asked over HTTP/1.1 from now on, as
        // one that broke it before the head.
        if (open.http2 && open.http2->session().brokeProtocol()) {
            if (options.pipelining) options.pipelining->stopHttp2(route.server);
            const size_t after = result.failure.find(" after ");
            result.failure = "HTTP/2 broken by the server" +
                             (after == std::string::npos ? std::string() : result.failure.substr(after)) + ": " +
                             open.http2->session().protocolError();
        } else if (open.http2) {
            explainStreamFailure(open.http2->failure(), result);
        }
        return Step::Failed;
    }
    keepForNext(open, head, open.body);
    return Step::Stored;
}

}  // namespace

bool httpGet(const std::string& url, const std::string& bodyPath, int64_t maxBytes, const HttpOptions& options,
             HttpResult* out) {
    HttpResult local;
    HttpResult& result = out ? *out : local;
    result = HttpResult();
    bool mayResume = options.resume;
    const Step step = followRedirects(url, result, [&](const std::string&, const Url& address, Redirect& redirect) {
        return fetchOnce(address, bodyPath, maxBytes, options, mayResume, result, redirect);
    });
    if (step == Step::NoResponse) {
        // Nothing arrived: what stands at the name is no body of this transfer. Only what a
        // resume may continue stays.
        if (!options.resume) platformRemoveFile(bodyPath);
        return true;
    }
    return step == Step::Stored;
}

bool httpSendAhead(const std::string& url, const std::string& bodyPath, const HttpOptions& options) {
    Url address;
    RequestRoute route;
    HttpResult ignored;
    if (!options.keep || !options.pipelining || !parseUrl(url, address) || !planRoute(address, options, route, ignored) ||
        !route.keepable)
        return false;
    // The very text fetchOnce will send for it, so that it is recognised.
    const std::string request = requestText(route, resumeField(options.resume ? partSize(bodyPath) : 0), options);
    return options.keep->sendAhead(route.server, request, options.stallTimeoutMs, options.cancel);
}

HttpResponse::HttpResponse() = default;
HttpResponse::~HttpResponse() = default;

int64_t HttpResponse::receive(char* buffer, size_t capacity) {
    if (!open_ || !open_->source()) return kSocketFailed;
    return open_->body.receive(buffer, capacity);
}

bool HttpResponse::framed() const { return head.version == 20 || (open_ && open_->body.framed()); }

void HttpResponse::keepConnection() {
    if (open_) keepForNext(*open_, head, open_->body);
}

bool httpOpen(const std::string& url, const std::string& extraFields, const HttpOptions& options,
              HttpResponse& response, HttpResult* out) {
    HttpResult local;
    HttpResult& result = out ? *out : local;
    result = HttpResult();
    const Step step = followRedirects(url, result, [&](const std::string&, const Url& address, Redirect& redirect) {
        response.head = HttpResponseHead();
        response.open_.reset(new HttpResponse::Open);
        RequestRoute route;
        if (!planRoute(address, options, route, result)) return Step::Failed;
        const Step sent = sendRequest(route, extraFields, options, result, response, *response.open_, redirect);
        if (sent == Step::Answered)
            response.open_->body = bodyReaderFor(response.head, response.open_->source(), true);
        return sent;
    });
    if (step == Step::NoResponse) result.retryable = true;
    return step == Step::Answered;
}
