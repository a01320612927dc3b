// One HTTP/2 connection carrying many requests at once, with nghttp2 doing the framing.
#include "net/http2_session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "net/connection.h"
#include "net/http_response.h"

namespace {

// Receive size: what one wait hands to nghttp2 at most.
constexpr size_t kBlockSize = 64 * 1024;
// Flow-control windows: a stream waiting for its reader holds at most this much, so that a
// small file's answer arrives whole in one round trip while a larger one waits its turn.
constexpr int32_t kStreamWindow = 256 * 1024;
// The stream being read: its bytes are taken as they come, so only the round trip limits it.
constexpr int32_t kReadingWindow = 16 * 1024 * 1024;
// The connection's: every waiting stream's window, and the one being read.
constexpr int32_t kConnectionWindow = 32 * 1024 * 1024;
// A head whose fields do not end within this much is not an update server's.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

using Clock = std::chrono::steady_clock;

// The fields of an HTTP/1.1 request's text as HTTP/2 carries them: the pseudo-fields from its
// line and Host, the rest with their names in lower case, but for those tied to the connection.
std::vector<std::pair<std::string, std::string>> http2Fields(const std::string& request) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t lineEnd = request.find("\r\n");
    const std::string line = request.substr(0, lineEnd);
    const size_t targetStart = line.find(' ') + 1;
    const std::string target = line.substr(targetStart, line.rfind(' ') - targetStart);
    fields.emplace_back(":method", line.substr(0, targetStart - 1));
    fields.emplace_back(":scheme", "https");
    fields.emplace_back(":authority", "");
    fields.emplace_back(":path", target);
    while (lineEnd != std::string::npos && lineEnd + 2 < request.size()) {
        const size_t start = lineEnd + 2;
        lineEnd = request.find("\r\n", start);
        const std::string field = request.substr(start, lineEnd - start);
        const size_t colon = field.find(':');
        if (field.empty() || colon == std::string::npos) continue;
        std::string name = field.substr(0, colon);
        for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
        const size_t valueStart = field.find_first_not_of(' ', colon + 1);
        const std::string value = valueStart == std::string::npos ? "" : field.substr(valueStart);
        if (name == "host") {
            fields[2].second = value;
        } else if (name != "connection" && name != "keep-alive" && name != "proxy-connection" &&
                   name != "transfer-encoding" && name != "upgrade") {
            fields.emplace_back(name, value);
        }
    }
    return fields;
}

}  // namespace

struct Http2Session::Stream {
    // The request's text, which names it for claim().
    std::string request;
    bool claimed = false;
    // The head so far, as parseHttp2Head reads it; complete once `headDone`.
    std::string header;
    bool headDone = false;
    bool tooLarge = false;
    // What the interim heads (1xx) before it took: they count against the same 64 KiB.
    size_t interimBytes = 0;
    // Body bytes not read yet, from `dataAt` on; `returned` of them were handed back by unread
    // and count as consumed already.
    std::string data;
    size_t dataAt = 0;
    size_t returned = 0;
    // The server ended the stream; or reset it (`refused` when it never began on it).
    bool ended = false;
    bool reset = false;
    bool refused = false;
    // Why it ended without its whole answer, when the server said or nghttp2 found it.
    std::string why;
    // When something last arrived for it.
    Clock::time_point progress = Clock::now();

    size_t waiting() const { return data.size() - dataAt; }
};

// nghttp2's callbacks, with the session as user data.
struct Http2Callbacks {
    static Http2Session::Stream* find(void* self, int32_t id) {
        auto& streams = static_cast<Http2Session*>(self)->streams_;
        const auto found = streams.find(id);
        return found == streams.end() ? nullptr : found->second.get();
    }

    static int onHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
                        const uint8_t* value, size_t valueLength, uint8_t, void* self) {
        Http2Session::Stream* stream = frame->hd.type == NGHTTP2_HEADERS ? find(self, frame->hd.stream_id) : nullptr;
        // Trailers behind the body say nothing the updater uses.
        if (!stream || stream->headDone) return 0;
        const std::string field(reinterpret_cast<const char*>(name), nameLength);
        const std::string text(reinterpret_cast<const char*>(value), valueLength);
        if (field == ":status") {
            stream->header = "HTTP/2 " + text;
        } else if (!field.empty() && field[0] != ':') {
            stream->header += "\r\n" + field + ": " + text;
        }
        stream->progress = Clock::now();
        if (stream->interimBytes + stream->header.size() <= kMaxHeaderBytes) return 0;
        stream->tooLarge = true;
        // nghttp2 resets the stream.
        return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }

    static int onFrame(nghttp2_session*, const nghttp2_frame* frame, void* self) {
        Http2Session& session = *static_cast<Http2Session*>(self);
        if (frame->hd.type == NGHTTP2_GOAWAY) {
            session.goaway_ = true;
            session.lastStreamId_ = frame->goaway.last_stream_id;
            for (auto& entry : session.streams_)
                if (entry.first > session.lastStreamId_ && !entry.second->ended && entry.second->why.empty())
                    entry.second->why = "the server went away before the end of the stream (GOAWAY)";
            if (frame->goaway.error_code == NGHTTP2_NO_ERROR) return 0;
            session.brokeProtocol_ = true;
            // Its code, and the server's own words (any text: shown as the log shows text).
            session.protocolError_ = "GOAWAY with " + std::string(nghttp2_http2_strerror(frame->goaway.error_code));
            const std::string words(reinterpret_cast<const char*>(frame->goaway.opaque_data),
                                    frame->goaway.opaque_data_len);
            if (!words.empty()) session.protocolError_ += ": " + textForLog(words);
            return 0;
        }
        Http2Session::Stream* stream = find(self, frame->hd.stream_id);
        if (!stream) return 0;
        if (frame->hd.type == NGHTTP2_RST_STREAM)
            stream->why = "the server reset the stream (" +
                          std::string(nghttp2_http2_strerror(frame->rst_stream.error_code)) + ")";
        // An interim head (1xx) says that the answer is still to come.
        if (frame->hd.type == NGHTTP2_HEADERS && (frame->hd.flags & NGHTTP2_FLAG_END_HEADERS) && !stream->headDone) {
            if (stream->header.compare(0, 8, "HTTP/2 1") == 0) {
                stream->interimBytes += stream->header.size();
                stream->header.clear();
            } else {
                stream->headDone = true;
            }
        }
        if ((frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA) &&
            (frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
            stream->ended = true;
        return 0;
    }

    static int onData(nghttp2_session* nghttp2, uint8_t, int32_t id, const uint8_t* data, size_t length, void* self) {
        Http2Session::Stream* stream = find(self, id);
        // A stream its reader gave up: what still arrives for it is dropped, and the window
        // given back.
        if (!stream) return nghttp2_session_consume(nghttp2, id, length) == 0 ? 0 : NGHTTP2_ERR_CALLBACK_FAILURE;
        if (stream->dataAt == stream->data.size()) {
            stream->data.clear();
            stream->dataAt = 0;
        }
        stream->data.append(reinterpret_cast<const char*>(data), length);
        stream->progress = Clock::now();
        return 0;
    }

    // A frame nghttp2 refused: for a stream, an answer against HTTP/2's rules, which it resets.
    static int onInvalid(nghttp2_session*, const nghttp2_frame* frame, int error, void* self) {
        Http2Session::Stream* stream = find(self, frame->hd.stream_id);
        if (stream && stream->why.empty())
            stream->why = "the answer broke HTTP/2 (" + std::string(nghttp2_strerror(error)) + ")";
        return 0;
    }

    // The GOAWAY nghttp2 sends when it ends a session the server broke says why; so does a
    // reset it sends of a stream whose answer broke the rules (a body longer or shorter than
    // its content-length), where onInvalid did not.
    static int onSent(nghttp2_session*, const nghttp2_frame* frame, void* self) {
        Http2Session::Stream* stream = find(self, frame->hd.stream_id);
        if (frame->hd.type == NGHTTP2_RST_STREAM && stream && stream->why.empty())
            stream->why = "the answer broke HTTP/2 (" +
                          std::string(nghttp2_http2_strerror(frame->rst_stream.error_code)) + ")";
        if (frame->hd.type != NGHTTP2_GOAWAY || frame->goaway.error_code == NGHTTP2_NO_ERROR) return 0;
        std::string& why = static_cast<Http2Session*>(self)->lastError_;
        why = nghttp2_http2_strerror(frame->goaway.error_code);
        if (frame->goaway.opaque_data_len > 0)
            why += " (" + std::string(reinterpret_cast<const char*>(frame->goaway.opaque_data),
                                      frame->goaway.opaque_data_len) + ")";
        return 0;
    }

    static int onClose(nghttp2_session*, int32_t id, uint32_t errorCode, void* self) {
        Http2Session::Stream* stream = find(self, id);
        if (!stream) return 0;
        if (errorCode == NGHTTP2_REFUSED_STREAM) stream->refused = true;
        if (errorCode != NGHTTP2_NO_ERROR || !stream->ended) stream->reset = true;
        stream->progress = Clock::now();
        return 0;
    }
};

Http2Session::Http2Session(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)), block_(new char[kBlockSize]) {}

Http2Session::~Http2Session() {
    if (session_) nghttp2_session_del(session_);
}

std::shared_ptr<Http2Session> Http2Session::start(std::unique_ptr<Connection> connection) {
    std::shared_ptr<Http2Session> made(new Http2Session(std::move(connection)));
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_option* option = nullptr;
    if (nghttp2_session_callbacks_new(&callbacks) != 0) return nullptr;
    nghttp2_session_callbacks_set_on_header_callback(callbacks, Http2Callbacks::onHeader);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, Http2Callbacks::onFrame);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, Http2Callbacks::onData);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, Http2Callbacks::onClose);
    nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, Http2Callbacks::onSent);
    nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(callbacks, Http2Callbacks::onInvalid);
    int made2 = nghttp2_option_new(&option);
    // The windows bound what waits in memory only if they open as the reader takes the bytes.
    if (made2 == 0) nghttp2_option_set_no_auto_window_update(option, 1);
    if (made2 == 0) made2 = nghttp2_session_client_new2(&made->session_, callbacks, made.get(), option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);
    if (made2 != 0) return nullptr;
    const nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
                                               {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kStreamWindow},
                                               {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, kMaxHeaderBytes}};
    if (nghttp2_submit_settings(made->session_, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof *settings) != 0 ||
        nghttp2_session_set_local_window_size(made->session_, NGHTTP2_FLAG_NONE, 0, kConnectionWindow) != 0 ||
        !made->flush())
        return nullptr;
    return made;
}

bool Http2Session::usable() const { return failure_ == 0 && !goaway_ && nghttp2_session_check_request_allowed(session_); }

void Http2Session::renew(int stallTimeoutMs, const PlatformCancel* cancel) {
    stallTimeoutMs_ = stallTimeoutMs;
    connection_->renew(stallTimeoutMs, cancel);
}

void Http2Session::fail(int64_t code) {
    if (failure_ == 0) failure_ = code;
}

bool Http2Session::flush() {
    if (failure_ != 0) return false;
    for (;;) {
        const uint8_t* data = nullptr;
        const ssize_t length = nghttp2_session_mem_send(session_, &data);
        if (length < 0) {
            fail(kSocketFailed);
            return false;
        }
        if (length == 0) return true;
        if (!connection_->sendAll(reinterpret_cast<const char*>(data), size_t(length))) {
            fail(kSocketFailed);
            return false;
        }
    }
}

template <class Done>
int64_t Http2Session::pump(int32_t id, Done done) {
    for (;;) {
        const auto found = streams_.find(id);
        if (found == streams_.end()) return kSocketFailed;
        Stream& stream = *found->second;
        if (done(stream)) return 1;
        if (!flush()) return failure_;
        // nghttp2 resets a stream whose answer breaks the rules (a body longer or shorter than
        // its content-length, a pseudo-field among its trailers) as the reset goes out.
        if (done(stream)) return 1;
        // And it ends a connection the server broke (a frame on the wrong stream or too large, a
        // push it was told not to send) as its GOAWAY goes out: nothing will arrive any more.
        if (!nghttp2_session_want_read(session_) && !nghttp2_session_want_write(session_)) {
            brokeProtocol_ = true;
            protocolError_ = lastError_.empty() ? "the session ended" : textForLog(lastError_);
            fail(kSocketFailed);
            for (auto& other : streams_)
                if (!other.second->ended) other.second->reset = true;
            return failure_;
        }
        // Other streams may keep the connection busy while this one gets nothing.
        if (Clock::now() - stream.progress >= std::chrono::milliseconds(stallTimeoutMs_)) return kSocketTimedOut;
        const int64_t count = connection_->receive(block_.get(), kBlockSize);
        if (count <= 0) {
            // The server closing the connection after a GOAWAY ends the streams it did not take.
            if (count == 0 && goaway_ && id > lastStreamId_) stream.refused = true;
            fail(count == 0 ? kSocketFailed : count);
            for (auto& other : streams_)
                if (!other.second->ended) other.second->reset = true;
            return failure_;
        }
        const ssize_t used = nghttp2_session_mem_recv(session_, reinterpret_cast<const uint8_t*>(block_.get()), size_t(count));
        if (used < 0) {
            brokeProtocol_ = true;
            protocolError_ = nghttp2_strerror(int(used));
            fail(kSocketFailed);
            for (auto& other : streams_)
                if (!other.second->ended) other.second->reset = true;
            return failure_;
        }
        // A GOAWAY names the last stream the server will answer; those above it never began.
        if (goaway_)
            for (auto& other : streams_)
                if (other.first > lastStreamId_ && !other.second->ended) other.second->refused = other.second->reset = true;
    }
}

bool Http2Session::submit(const std::string& request) {
    if (!usable()) return false;
    const auto fields = http2Fields(request);
    std::vector<nghttp2_nv> list;
    for (const auto& field : fields) {
        nghttp2_nv entry;
        entry.name = reinterpret_cast<uint8_t*>(const_cast<char*>(field.first.data()));
        entry.namelen = field.first.size();
        entry.value = reinterpret_cast<uint8_t*>(const_cast<char*>(field.second.data()));
        entry.valuelen = field.second.size();
        entry.flags = NGHTTP2_NV_FLAG_NONE;
        list.push_back(entry);
    }
    const int32_t id = nghttp2_submit_request(session_, nullptr, list.data(), list.size(), nullptr, nullptr);
    if (id <= 0) return false;
    std::unique_ptr<Stream> stream(new Stream);
    stream->request = request;
    streams_[id] = std::move(stream);
    // Sent with the next wait, together with the streams opened before it.
    return true;
}

size_t Http2Session::streamsAllowed() const {
    return nghttp2_session_get_remote_settings(session_, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
}

void Http2Session::dropUnclaimed() {
    std::vector<int32_t> unclaimed;
    for (const auto& entry : streams_)
        if (!entry.second->claimed) unclaimed.push_back(entry.first);
    for (int32_t id : unclaimed) finish(id);
}

bool Http2Session::opened(const std::string& request) const {
    for (const auto& entry : streams_)
        if (!entry.second->claimed && entry.second->request == request) return true;
    return false;
}

int32_t Http2Session::claim(const std::string& request) {
    for (auto& entry : streams_) {
        Stream& stream = *entry.second;
        if (stream.claimed || stream.request != request) continue;
        stream.claimed = true;
        // Measured from now: it may have waited its turn for long.
        stream.progress = Clock::now();
        // nghttp2 knows a stream only once its request went out, and silently ignores a window
        // set before: the first request of a connection would keep the narrow window, a round
        // trip of waiting every 128 KiB.
        flush();
        nghttp2_session_set_local_window_size(session_, NGHTTP2_FLAG_NONE, entry.first, kReadingWindow);
        return entry.first;
    }
    return 0;
}

Http2Head Http2Session::readHead(int32_t id, std::string& header, int64_t& code) {
    code = pump(id, [](const Stream& stream) { return stream.headDone || stream.reset || stream.ended; });
    const auto found = streams_.find(id);
    if (found == streams_.end()) return Http2Head::Failed;
    Stream& stream = *found->second;
    if (stream.tooLarge) return Http2Head::TooLarge;
    if (stream.headDone) {
        header = stream.header;
        return Http2Head::Arrived;
    }
    if (stream.refused) return Http2Head::Refused;
    if (code == 1) code = kSocketFailed;
    return Http2Head::Failed;
}

int64_t Http2Session::receive(int32_t id, char* buffer, size_t capacity) {
    const int64_t waited = pump(id, [](const Stream& stream) { return stream.waiting() > 0 || stream.reset || stream.ended; });
    const auto found = streams_.find(id);
    if (found == streams_.end()) return kSocketFailed;
    Stream& stream = *found->second;
    if (stream.waiting() > 0) {
        const size_t count = std::min(capacity, stream.waiting());
        std::memcpy(buffer, stream.data.data() + stream.dataAt, count);
        stream.dataAt += count;
        const size_t fresh = count - std::min(count, stream.returned);
        stream.returned -= count - fresh;
        // Opens the window by what was taken; nghttp2 says so once enough is taken.
        if (fresh > 0 && nghttp2_session_consume(session_, id, fresh) != 0) return kSocketFailed;
        return int64_t(count);
    }
    if (stream.reset) return waited < 0 ? waited : kSocketFailed;
    return stream.ended ? 0 : waited < 0 ? waited : kSocketFailed;
}

void Http2Session::unread(int32_t id, const char* data, size_t length) {
    const auto found = streams_.find(id);
    if (found == streams_.end() || length == 0) return;
    Stream& stream = *found->second;
    stream.data.replace(0, stream.dataAt, data, length);
    stream.dataAt = 0;
    stream.returned += length;
}

std::string Http2Session::streamFailure(int32_t id) const {
    const auto found = streams_.find(id);
    return found == streams_.end() ? "" : textForLog(found->second->why);
}

size_t Http2Session::unreadBytes(int32_t id) const {
    const auto found = streams_.find(id);
    return found == streams_.end() ? 0 : found->second->waiting();
}

void Http2Session::finish(int32_t id) {
    const auto found = streams_.find(id);
    if (found == streams_.end()) return;
    Stream& stream = *found->second;
    if (failure_ == 0) {
        // What waited unread no longer holds the connection's window.
        const size_t dropped = stream.waiting() - std::min(stream.waiting(), stream.returned);
        if (dropped > 0) nghttp2_session_consume_connection(session_, dropped);
        if (!stream.ended && !stream.reset) nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
    }
    streams_.erase(found);
    flush();
}
