// Undoing a server's on-the-fly gzip compression (Content-Encoding: gzip) while the body
// arrives, through fixed buffers. Owned by one transfer; any thread.
#pragma once

#include <cstddef>
#include <functional>

struct z_stream_s;

class GzipBodyDecoder {
public:
    // Receives each decoded piece; false stops the decoding (a failed write).
    using Writer = std::function<bool(const char* data, size_t length)>;

    GzipBodyDecoder();
    ~GzipBodyDecoder();
    GzipBodyDecoder(const GzipBodyDecoder&) = delete;
    GzipBodyDecoder& operator=(const GzipBodyDecoder&) = delete;

    // Decodes the next piece of the body. False for data that is not gzip or is damaged, and
    // when `write` fails. Members follow one another as in a gzip file; bytes after the last
    // member that are no gzip member are ignored.
    bool feed(const char* data, size_t length, const Writer& write);
    // True once a whole member has been decoded and nothing cut one short since: a body that
    // ends otherwise was cut.
    bool complete() const { return atMemberEnd_; }

private:
    z_stream_s* stream_;
    bool ready_ = false;
    bool atMemberEnd_ = false;
    // Set when what followed the last member was no gzip: everything after is ignored.
    bool trailing_ = false;
};
