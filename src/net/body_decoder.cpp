// Undoing a server's on-the-fly gzip compression while the body arrives.
#include "net/body_decoder.h"

#include <zlib.h>

namespace {

// Decoded bytes go out in pieces this size: memory stays constant whatever the file.
constexpr size_t kOutputSize = 16 * 1024;
constexpr unsigned char kGzipMagic0 = 0x1f;

}  // namespace

GzipBodyDecoder::GzipBodyDecoder() : stream_(new z_stream{}) {
    // 16 + the largest window: gzip wrapping only.
    ready_ = inflateInit2(stream_, 16 + MAX_WBITS) == Z_OK;
}

GzipBodyDecoder::~GzipBodyDecoder() {
    if (ready_) inflateEnd(stream_);
    delete stream_;
}

bool GzipBodyDecoder::feed(const char* data, size_t length, const Writer& write) {
    if (!ready_) return false;
    unsigned char output[kOutputSize];
    stream_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_->avail_in = uInt(length);
    while (stream_->avail_in > 0 && !trailing_) {
        if (atMemberEnd_) {
            // Another member follows only behind gzip's magic, as gzip itself reads files.
            if (stream_->next_in[0] != kGzipMagic0) {
                trailing_ = true;
                break;
            }
            if (inflateReset(stream_) != Z_OK) return false;
            atMemberEnd_ = false;
        }
        stream_->next_out = output;
        stream_->avail_out = sizeof output;
        const int status = inflate(stream_, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
        const size_t produced = sizeof output - stream_->avail_out;
        if (produced > 0 && !write(reinterpret_cast<const char*>(output), produced)) return false;
        if (status == Z_STREAM_END) atMemberEnd_ = true;
        else if (status == Z_BUF_ERROR && produced == 0) break;
    }
    return true;
}
