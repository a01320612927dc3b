// MD5 against RFC 1321's test suite, its padding boundaries, piecewise feeding and md5sum.
#include "util/md5.h"
#include "util/md5_pipe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/digest.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

std::string digestInPieces(const std::string& data, size_t piece) {
    Md5State state;
    md5Init(state);
    for (size_t at = 0; at < data.size(); at += piece) {
        const size_t length = std::min(piece, data.size() - at);
        md5Append(state, reinterpret_cast<const uint8_t*>(data.data() + at), int32_t(length));
    }
    uint8_t digest[16];
    md5Finish(state, digest);
    return md5ToText(digest);
}

std::string md5sumOf(const std::string& path) {
    const ProcessResult result = runProcess({"md5sum", path});
    return result.out.substr(0, 32);
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : suite)
        EXPECT_EQ(md5OfBuffer(input.data(), int32_t(input.size())), expected) << "input '" << input << "'";
}

TEST(Md5, PaddingBoundariesMatchMd5sumAndPiecewiseFeeding) {
    TempDir dir;
    for (size_t length : {55, 56, 57, 63, 64, 65, 119, 120, 128, 1000}) {
        const std::string data = patternBytes(length, unsigned(length));
        dir.write("f", data);
        const std::string expected = md5sumOf(dir.file("f"));
        EXPECT_EQ(md5OfBuffer(data.data(), int32_t(data.size())), expected) << length;
        for (size_t piece : {1, 63, 64, 65})
            EXPECT_EQ(digestInPieces(data, piece), expected) << length << " in pieces of " << piece;
    }
}

TEST(Md5, AppendOfNothingChangesNothing) {
    Md5State state;
    md5Init(state);
    md5Append(state, reinterpret_cast<const uint8_t*>("abc"), 0);
    md5Append(state, reinterpret_cast<const uint8_t*>("abc"), -5);
    md5Append(state, reinterpret_cast<const uint8_t*>("abc"), 3);
    uint8_t digest[16];
    md5Finish(state, digest);
    EXPECT_EQ(md5ToText(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5OfFile, EqualsMd5sumFromEmptyToTensOfMebibytes) {
    TempDir dir;
    for (size_t size : {size_t(0), size_t(1), size_t(131071), size_t(131072), size_t(131073),
                        size_t(3) * 1024 * 1024 + 17, size_t(24) * 1024 * 1024 + 5}) {
        dir.write("file.bin", patternBytes(size, unsigned(size)));
        EXPECT_EQ(md5OfFile(dir.file("file.bin")), md5sumOf(dir.file("file.bin"))) << size;
    }
}

TEST(Md5OfFile, MissingFileOrDirectoryYieldsEmptyText) {
    TempDir dir;
    EXPECT_EQ(md5OfFile(dir.file("missing")), "");
    EXPECT_EQ(md5OfFile(dir.path()), "");
    dir.write("empty", "");
    EXPECT_EQ(md5OfFile(dir.file("empty")), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5Pipe, DigestsWhatWasAppendedAcrossTheThreadAndSlotBoundaries) {
    const size_t inline_ = Md5Pipe::kInlineBytes, slot = Md5Pipe::kSlotBytes;
    const struct {
        size_t length;
        size_t piece;
    } cases[] = {
        {0, 1},                                  // nothing at all
        {inline_, 4096},                         // all inline: no thread
        {inline_ + 1, 4096},                     // the thread starts for the last byte
        {inline_ + slot * Md5Pipe::kSlots * 3 + 7, 65536 + 3},  // every slot reused, a piece across slots
        {inline_ + slot * 2, slot * 3},          // one piece larger than all the slots
    };
    for (const auto& c : cases) {
        const std::string data = patternBytes(c.length, unsigned(c.length));
        Md5Pipe pipe;
        for (size_t at = 0; at < data.size(); at += c.piece)
            pipe.append(reinterpret_cast<const uint8_t*>(data.data() + at), std::min(c.piece, data.size() - at));
        EXPECT_EQ(pipe.finish(), digestInPieces(data, 1 << 20)) << c.length << " in pieces of " << c.piece;
    }
    // Dropped before finishing, as a failed transfer drops it: the thread still ends.
    Md5Pipe dropped;
    const std::string data = patternBytes(inline_ * 2, 1);
    dropped.append(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

TEST(Md5Text, ReadsOnlyWhatItWritesAndBackAgain) {
    const uint8_t digest[16] = {0x00, 0x01, 0x7f, 0x80, 0x9a, 0xbc, 0xde, 0xf0, 0x0f, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50, 0x61};
    const std::string text = md5ToText(digest);
    EXPECT_EQ(text, "00017f809abcdef00fff102030405061");
    uint8_t read[16];
    ASSERT_TRUE(md5FromText(text.data(), text.size(), read));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(read), 16), std::string(reinterpret_cast<const char*>(digest), 16));
    // Upper case, a byte short or long, a sign or a space: never a digest.
    for (const std::string& bad : std::vector<std::string>{"00017F809ABCDEF00FFF102030405061", text.substr(1), text + "0", "-0017f809abcdef00fff102030405061",
                                  "00017f809abcdef00fff10203040506 ", "00017f809abcdeg00fff102030405061"})
        EXPECT_FALSE(md5FromText(bad.data(), bad.size(), read)) << bad;
}
