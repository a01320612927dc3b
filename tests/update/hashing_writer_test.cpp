// Writing a file while its digest is taken on the spare thread: the same bytes and the same
// digest as a plain write, whichever thread digests and however the pieces fall on buffers.
#include "update/hashing_writer.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "support/digest.h"
#include "support/temp_dir.h"
#include "util/file_system.h"

namespace {

std::atomic<bool> releaseSpare{false};

int holdSpare(void*) {
    while (!releaseSpare) SDL_Delay(1);
    return 0;
}

// Keeps the process's spare thread busy while it lives, also when an assertion leaves early.
struct SpareHolder {
    SpareThread thread;
    bool hold() {
        releaseSpare = false;
        return thread.start(holdSpare, nullptr);
    }
    ~SpareHolder() {
        releaseSpare = true;
        thread.join();
    }
};

}  // namespace

TEST(HashingWriter, WritesAndDigestsEveryByteInOrder) {
    const size_t M = kHashingWriterBufferSize;
    const struct {
        const char* name;
        size_t size;
        // Pieces appended (0: filled through space and commit, as much as there is room for).
        size_t piece;
        bool spareTaken;
    } cases[] = {
        {"nothing", 0, 0, false},
        {"one byte", 1, 1, false},
        {"one buffer exactly", M, 0, false},
        {"around the ring more than once", 9 * M + 17, 0, false},
        {"appended in pieces across buffer ends", 5 * M + 3, 65536 + 7, false},
        {"digested by the writer itself when the spare thread is taken", 5 * M + 3, 4099, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SpareHolder other;
        if (c.spareTaken) {
            ASSERT_TRUE(other.hold());
        }
        TempDir dir;
        const std::string data = patternBytes(c.size, 11);
        std::FILE* file = std::fopen(dir.file("out").c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::string md5;
        {
            HashingWriter writer(file);
            for (size_t at = 0; at < data.size();) {
                size_t room = 0;
                uint8_t* to = writer.space(room);
                const size_t count = std::min(c.piece ? c.piece : room, data.size() - at);
                const uint8_t* from = reinterpret_cast<const uint8_t*>(data.data()) + at;
                if (c.piece) {
                    ASSERT_TRUE(writer.append(from, count));
                } else {
                    std::memcpy(to, from, count);
                    ASSERT_TRUE(writer.commit(count));
                }
                at += count;
            }
            ASSERT_TRUE(writer.finish(md5));
            EXPECT_EQ(writer.written(), data.size());
        }
        std::fclose(file);
        EXPECT_EQ(md5, md5OfBuffer(data.data(), int32_t(data.size())));
        std::string written;
        ASSERT_TRUE(readWholeFile(written, dir.file("out")));
        EXPECT_TRUE(written == data);
    }
}

TEST(HashingWriter, AFailedWriteFailsTheFinish) {
    TempDir dir;
    dir.write("in", "x");
    // Open for reading only: every write fails.
    std::FILE* file = std::fopen(dir.file("in").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    {
        HashingWriter writer(file);
        const std::string data = patternBytes(kHashingWriterBufferSize + 5, 2);
        EXPECT_FALSE(writer.append(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
        std::string md5;
        EXPECT_FALSE(writer.finish(md5));
    }
    std::fclose(file);
}
