// Streaming a release file through MD5 and zlib's gzip writer in one pass.
#include "manifest/file_packer.h"

#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "update/block_map.h"
#include "util/md5.h"

namespace {

// Large reads keep system calls rare; the buffer is per call, so per thread.
constexpr size_t kReadBlock = 1 << 20;

// An open descriptor closed on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    // The result of closing, so that a failed flush of written data is seen.
    int close() {
        if (fd_ < 0) return 0;
        const int result = platformCloseDescriptor(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string describe(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const uint8_t* data, size_t length) { return platformWriteDescriptor(fd, data, length); }

// Reads at most `length` bytes; 0 at the end, -1 on an error.
int64_t readSome(int fd, uint8_t* data, size_t length) { return platformReadDescriptor(fd, data, length); }

std::string temporaryPathFor(const std::string& target) { return target + ".kib-tmp"; }

// The compressed bytes travel from zlib's gzip writer through a pipe to this sink, which
// digests them and writes them to the temporary file: the digest is taken as the file is
// written, never by reading it back.
class CompressedSink {
public:
    CompressedSink(int pipeReadEnd, int outputFd) : input_(pipeReadEnd), output_(outputFd) {
        thread_ = std::thread([this] { run(); });
    }
    ~CompressedSink() {
        if (thread_.joinable()) thread_.join();
    }
    // Waits for the writer's end of the pipe to be closed and everything to be written.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    bool failed() const { return writeErrno_ != 0; }
    int writeErrno() const { return writeErrno_; }
    uint64_t size() const { return size_; }
    std::string md5() {
        uint8_t digest[16];
        md5Finish(state_, digest);
        return md5ToText(digest);
    }

private:
    void run() {
        md5Init(state_);
        std::vector<uint8_t> buffer(256 * 1024);
        for (;;) {
            const int64_t got = readSome(input_.get(), buffer.data(), buffer.size());
            if (got <= 0) break;
            // After a write error the pipe is still drained, so the writer never blocks.
            if (writeErrno_ != 0) continue;
            md5Append(state_, buffer.data(), int32_t(got));
            size_ += uint64_t(got);
            if (!writeAll(output_, buffer.data(), size_t(got))) writeErrno_ = errno ? errno : EIO;
        }
    }

    FileDescriptor input_;
    int output_;
    Md5State state_;
    uint64_t size_ = 0;
    int writeErrno_ = 0;
    std::thread thread_;
};

int createForWriting(const std::string& path) { return platformOpenDescriptor(path, PlatformDescriptorMode::Create); }

int openForReading(const std::string& path) { return platformOpenDescriptor(path, PlatformDescriptorMode::Read); }

// Copies the file into `copyPath` through a temporary file; false with `error` on failure.
bool copyFile(const std::string& sourcePath, const std::string& copyPath, std::string& error) {
    FileDescriptor source(openForReading(sourcePath));
    if (source.get() < 0) {
        error = describe("cannot read", sourcePath);
        return false;
    }
    const std::string temporary = temporaryPathFor(copyPath);
    FileDescriptor target(createForWriting(temporary));
    if (target.get() < 0) {
        error = describe("cannot create", temporary);
        return false;
    }
    std::vector<uint8_t> buffer(kReadBlock);
    for (;;) {
        const int64_t got = readSome(source.get(), buffer.data(), buffer.size());
        if (got < 0) {
            error = describe("cannot read", sourcePath);
            break;
        }
        if (got == 0) {
            if (target.close() != 0) error = describe("cannot write", temporary);
            else if (std::rename(temporary.c_str(), copyPath.c_str()) != 0) error = describe("cannot create", copyPath);
            break;
        }
        if (!writeAll(target.get(), buffer.data(), size_t(got))) {
            error = describe("cannot write", temporary);
            break;
        }
    }
    if (!error.empty()) {
        target.close();
        platformRemoveFile(temporary);
        return false;
    }
    return true;
}

// Writes the block map the request asks for, of the file whose digest `result` holds.
bool writeBlockMap(const PackRequest& request, PackResult& result) {
    if (request.blockMapPath.empty()) return true;
    BlockMap map;
    if (!buildBlockMap(request.sourcePath, map)) {
        result.error = describe("cannot read", request.sourcePath);
        return false;
    }
    // The map and the manifest line must describe the same bytes.
    if (map.md5 != result.md5 || map.fileSize != result.size) {
        result.error = request.sourcePath + " changed while it was being published";
        return false;
    }
    // What an updater weighs a delta update against.
    map.gzSize = result.compressed ? result.gzSize : 0;
    const std::string bytes = encodeBlockMap(map);
    const std::string temporary = temporaryPathFor(request.blockMapPath);
    FileDescriptor output(createForWriting(temporary));
    if (output.get() < 0) {
        result.error = describe("cannot create", temporary);
        return false;
    }
    if (!writeAll(output.get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) || output.close() != 0) {
        result.error = describe("cannot write", temporary);
        platformRemoveFile(temporary);
        return false;
    }
    if (std::rename(temporary.c_str(), request.blockMapPath.c_str()) != 0) {
        result.error = describe("cannot create", request.blockMapPath);
        platformRemoveFile(temporary);
        return false;
    }
    return true;
}

}  // namespace

bool compressionWorthIt(uint64_t size, uint64_t gzSize, int minSavingPercent) {
    // Integer arithmetic in 128 bits would be exact; sizes below 2^56 are enough here.
    return gzSize * 100 <= size * uint64_t(100 - minSavingPercent);
}

bool packFile(const PackRequest& request, PackResult& result, std::atomic<uint64_t>* bytesDone) {
    result = PackResult();
    FileDescriptor source(openForReading(request.sourcePath));
    if (source.get() < 0) {
        result.error = describe("cannot read", request.sourcePath);
        return false;
    }

    const bool compressing = !request.gzPath.empty();
    const bool copyingNow = !request.copyPath.empty() && (!compressing || request.keepPlainCopy);
    const std::string gzTemporary = compressing ? temporaryPathFor(request.gzPath) : "";
    const std::string copyTemporary = copyingNow ? temporaryPathFor(request.copyPath) : "";

    FileDescriptor copyOutput;
    FileDescriptor gzOutput;
    gzFile gz = nullptr;
    std::unique_ptr<CompressedSink> sink;
    auto abandon = [&](const std::string& error) {
        result.error = error;
        if (gz) gzclose(gz);
        gz = nullptr;
        sink.reset();
        gzOutput.close();
        copyOutput.close();
        if (compressing) platformRemoveFile(gzTemporary);
        if (copyingNow) platformRemoveFile(copyTemporary);
        return false;
    };

    if (copyingNow) {
        copyOutput.reset(createForWriting(copyTemporary));
        if (copyOutput.get() < 0) return abandon(describe("cannot create", copyTemporary));
    }
    if (compressing) {
        gzOutput.reset(createForWriting(gzTemporary));
        if (gzOutput.get() < 0) return abandon(describe("cannot create", gzTemporary));
        int pipeRead, pipeWrite;
        if (!platformCreatePipe(pipeRead, pipeWrite)) return abandon(describe("cannot compress", request.sourcePath));
        sink.reset(new CompressedSink(pipeRead, gzOutput.get()));
        const std::string mode = "wb" + std::to_string(request.level);
        gz = gzdopen(pipeWrite, mode.c_str());
        if (!gz) {
            platformCloseDescriptor(pipeWrite);
            return abandon("cannot start the compression of " + request.sourcePath);
        }
        gzbuffer(gz, 256 * 1024);
    }

    Md5State state;
    md5Init(state);
    std::vector<uint8_t> buffer(kReadBlock);
    for (;;) {
        const int64_t got = readSome(source.get(), buffer.data(), buffer.size());
        if (got < 0) return abandon(describe("cannot read", request.sourcePath));
        if (got == 0) break;
        md5Append(state, buffer.data(), int32_t(got));
        result.size += uint64_t(got);
        if (copyingNow && !writeAll(copyOutput.get(), buffer.data(), size_t(got)))
            return abandon(describe("cannot write", copyTemporary));
        if (gz && gzwrite(gz, buffer.data(), unsigned(got)) != int(got))
            return abandon("cannot write " + gzTemporary + ": " + std::strerror(sink->writeErrno() ? sink->writeErrno() : EIO));
        if (bytesDone) *bytesDone += uint64_t(got);
    }
    uint8_t digest[16];
    md5Finish(state, digest);
    result.md5 = md5ToText(digest);

    if (copyingNow) {
        if (copyOutput.close() != 0) return abandon(describe("cannot write", copyTemporary));
        if (std::rename(copyTemporary.c_str(), request.copyPath.c_str()) != 0)
            return abandon(describe("cannot create", request.copyPath));
    }
    if (!compressing) return writeBlockMap(request, result);

    const int closed = gzclose(gz);
    gz = nullptr;
    sink->finish();
    if (closed != Z_OK || sink->failed()) {
        errno = sink->failed() ? sink->writeErrno() : EIO;
        return abandon(describe("cannot write", gzTemporary));
    }
    if (gzOutput.close() != 0) return abandon(describe("cannot write", gzTemporary));
    const uint64_t gzSize = sink->size();
    const std::string gzMd5 = sink->md5();
    sink.reset();

    if (request.alwaysKeepCompressed || compressionWorthIt(result.size, gzSize, request.minSavingPercent)) {
        if (std::rename(gzTemporary.c_str(), request.gzPath.c_str()) != 0)
            return abandon(describe("cannot create", request.gzPath));
        result.compressed = true;
        result.gzMd5 = gzMd5;
        result.gzSize = gzSize;
        return writeBlockMap(request, result);
    }
    platformRemoveFile(gzTemporary);
    if (!copyingNow && !request.copyPath.empty() && !copyFile(request.sourcePath, request.copyPath, result.error))
        return false;
    return writeBlockMap(request, result);
}
