// MD5 as published in RFC 1321, computed incrementally.
#include "util/md5.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

inline uint32_t rotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// F in the equivalent form with one operation less than RFC 1321's.
inline uint32_t funcF(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t funcH(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t funcI(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, x, s, ac) \
    a += f(b, c, d) + (x) + (uint32_t)(ac); \
    a = rotateLeft(a, s) + b

// G(b, c, d) = (b & d) | (c & ~d): the two halves share no bit, so they may be added one at a
// time, and the half without b (the word the step before has just made) is added while b is
// still being computed. About 9 % faster than G as one function on the file sizes the updater
// checks.
#define MD5_STEP_G(a, b, c, d, x, s, ac) \
    a += ((c) & ~(d)) + (x) + (uint32_t)(ac); \
    a += (b) & (d); \
    a = rotateLeft(a, s) + b

// Large enough that a file is read in few calls, small enough to stay in the cache.
constexpr size_t kFileBlockSize = 128 * 1024;

// The RFC 1321 compression of one 64-byte block (no alignment needed).
void md5Process(Md5State& state, const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        const uint8_t* p = block + 4 * i;
        x[i] = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
    uint32_t a = state.words[0], b = state.words[1], c = state.words[2], d = state.words[3];

    // Round 1
    MD5_STEP(funcF, a, b, c, d, x[0], 7, 0xd76aa478);
    MD5_STEP(funcF, d, a, b, c, x[1], 12, 0xe8c7b756);
    MD5_STEP(funcF, c, d, a, b, x[2], 17, 0x242070db);
    MD5_STEP(funcF, b, c, d, a, x[3], 22, 0xc1bdceee);
    MD5_STEP(funcF, a, b, c, d, x[4], 7, 0xf57c0faf);
    MD5_STEP(funcF, d, a, b, c, x[5], 12, 0x4787c62a);
    MD5_STEP(funcF, c, d, a, b, x[6], 17, 0xa8304613);
    MD5_STEP(funcF, b, c, d, a, x[7], 22, 0xfd469501);
    MD5_STEP(funcF, a, b, c, d, x[8], 7, 0x698098d8);
    MD5_STEP(funcF, d, a, b, c, x[9], 12, 0x8b44f7af);
    MD5_STEP(funcF, c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP(funcF, b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP(funcF, a, b, c, d, x[12], 7, 0x6b901122);
    MD5_STEP(funcF, d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP(funcF, c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP(funcF, b, c, d, a, x[15], 22, 0x49b40821);

    // Round 2
    MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
    MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
    MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
    MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
    MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
    MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
    MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
    MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
    MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
    MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
    MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
    MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    // Round 3
    MD5_STEP(funcH, a, b, c, d, x[5], 4, 0xfffa3942);
    MD5_STEP(funcH, d, a, b, c, x[8], 11, 0x8771f681);
    MD5_STEP(funcH, c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP(funcH, b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP(funcH, a, b, c, d, x[1], 4, 0xa4beea44);
    MD5_STEP(funcH, d, a, b, c, x[4], 11, 0x4bdecfa9);
    MD5_STEP(funcH, c, d, a, b, x[7], 16, 0xf6bb4b60);
    MD5_STEP(funcH, b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP(funcH, a, b, c, d, x[13], 4, 0x289b7ec6);
    MD5_STEP(funcH, d, a, b, c, x[0], 11, 0xeaa127fa);
    MD5_STEP(funcH, c, d, a, b, x[3], 16, 0xd4ef3085);
    MD5_STEP(funcH, b, c, d, a, x[6], 23, 0x04881d05);
    MD5_STEP(funcH, a, b, c, d, x[9], 4, 0xd9d4d039);
    MD5_STEP(funcH, d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP(funcH, c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP(funcH, b, c, d, a, x[2], 23, 0xc4ac5665);

    // Round 4
    MD5_STEP(funcI, a, b, c, d, x[0], 6, 0xf4292244);
    MD5_STEP(funcI, d, a, b, c, x[7], 10, 0x432aff97);
    MD5_STEP(funcI, c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP(funcI, b, c, d, a, x[5], 21, 0xfc93a039);
    MD5_STEP(funcI, a, b, c, d, x[12], 6, 0x655b59c3);
    MD5_STEP(funcI, d, a, b, c, x[3], 10, 0x8f0ccc92);
    MD5_STEP(funcI, c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP(funcI, b, c, d, a, x[1], 21, 0x85845dd1);
    MD5_STEP(funcI, a, b, c, d, x[8], 6, 0x6fa87e4f);
    MD5_STEP(funcI, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP(funcI, c, d, a, b, x[6], 15, 0xa3014314);
    MD5_STEP(funcI, b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP(funcI, a, b, c, d, x[4], 6, 0xf7537e82);
    MD5_STEP(funcI, d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP(funcI, c, d, a, b, x[2], 15, 0x2ad7d2bb);
    MD5_STEP(funcI, b, c, d, a, x[9], 21, 0xeb86d391);

    state.words[0] += a;
    state.words[1] += b;
    state.words[2] += c;
    state.words[3] += d;
}

}  // namespace

void md5Init(Md5State& state) {
    state.bitCount[0] = state.bitCount[1] = 0;
    state.words[0] = 0x67452301;
    state.words[1] = 0xefcdab89;
    state.words[2] = 0x98badcfe;
    state.words[3] = 0x10325476;
}

void md5Append(Md5State& state, const uint8_t* data, int32_t length) {
    if (length <= 0) return;
    const uint8_t* p = data;
    uint32_t left = uint32_t(length);
    const uint32_t waiting = (state.bitCount[0] >> 3) & 63;
    const uint32_t addedBits = uint32_t(length) << 3;

    state.bitCount[1] += uint32_t(length) >> 29;
    state.bitCount[0] += addedBits;
    if (state.bitCount[0] < addedBits) state.bitCount[1]++;

    if (waiting) {
        const uint32_t copy = waiting + left > 64 ? 64 - waiting : left;
        std::memcpy(state.block + waiting, p, copy);
        if (waiting + copy < 64) return;
        p += copy;
        left -= copy;
        md5Process(state, state.block);
    }
    for (; left >= 64; p += 64, left -= 64) md5Process(state, p);
    if (left) std::memcpy(state.block, p, left);
}

void md5Finish(Md5State& state, uint8_t digest[16]) {
    static const uint8_t kPad[64] = {0x80};
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = uint8_t(state.bitCount[i >> 2] >> ((i & 3) << 3));
    const uint32_t waiting = (state.bitCount[0] >> 3) & 63;
    md5Append(state, kPad, int32_t(((55 + 64 - waiting) & 63) + 1));
    md5Append(state, length, 8);
    for (int i = 0; i < 16; ++i) digest[i] = uint8_t(state.words[i >> 2] >> ((i & 3) << 3));
}

std::string md5ToText(const uint8_t digest[16]) {
    char text[33];
    md5ToChars(digest, text);
    return std::string(text, 32);
}

void md5ToChars(const uint8_t digest[16], char text[33]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    text[32] = 0;
}

namespace {

// The value of each lowercase hexadecimal digit, 16 for every other byte: a record of a million
// files is read back through this.
struct HexDigits {
    uint8_t value[256];
    constexpr HexDigits() : value() {
        for (int c = 0; c < 256; ++c) value[c] = 16;
        for (int c = '0'; c <= '9'; ++c) value[c] = uint8_t(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = uint8_t(c - 'a' + 10);
    }
};
constexpr HexDigits kHexDigits;

}  // namespace

bool md5FromText(const char* text, size_t length, uint8_t digest[16]) {
    if (length != 32) return false;
    unsigned bad = 0;
    for (int i = 0; i < 16; ++i) {
        const uint8_t high = kHexDigits.value[uint8_t(text[2 * i])], low = kHexDigits.value[uint8_t(text[2 * i + 1])];
        bad |= high | low;
        digest[i] = uint8_t(high << 4 | (low & 15));
    }
    return bad < 16;
}

std::string md5OfFile(const std::string& path, const std::atomic<bool>* stop) {
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Read);
    if (!file) return std::string();
    // One buffer per thread for every file: a manifest compares many small files, and a fresh
    // block of this size is a fresh mapping each time.
    thread_local std::unique_ptr<uint8_t[]> buffer(new uint8_t[kFileBlockSize]);
    Md5State state;
    md5Init(state);
    size_t got;
    bool stopped = false;
    while ((got = std::fread(buffer.get(), 1, kFileBlockSize, file)) > 0) {
        if (stop && (stopped = stop->load(std::memory_order_relaxed))) break;
        md5Append(state, buffer.get(), int32_t(got));
    }
    // A read error (a directory, a failing disk) must not pass for the digest of a shorter file.
    const bool failed = std::ferror(file) != 0 || stopped;
    std::fclose(file);
    if (failed) return std::string();
    uint8_t digest[16];
    md5Finish(state, digest);
    return md5ToText(digest);
}
