// MD5 message digests (RFC 1321), as the 32-character lowercase text the manifest uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Running state of one digest computation.
struct Md5State {
    // Number of message bits fed so far, modulo 2^64, low word first.
    uint32_t bitCount[2];
    // The chaining words A to D.
    uint32_t words[4];
    // Bytes of the current incomplete 64-byte block; (bitCount[0] / 8) % 64 of them are in use.
    uint8_t block[64];
};

void md5Init(Md5State& state);
// Feeds `length` bytes; a length of 0 or less changes nothing. Full blocks are digested
// straight from `data` without a copy.
void md5Append(Md5State& state, const uint8_t* data, int32_t length);
// Pads the message, writes the 16-byte digest to `digest`. The state is spent afterwards.
void md5Finish(Md5State& state, uint8_t digest[16]);

// The digest of the file's whole content, streamed in fixed blocks (constant memory, any
// size); the empty text when the file cannot be opened or read to its end, or when `stop` is
// raised before the end (a large file is then left at once). Never logs.
std::string md5OfFile(const std::string& path, const std::atomic<bool>* stop = nullptr);
// The 16 digest bytes as 32 lowercase hexadecimal characters.
std::string md5ToText(const uint8_t digest[16]);
// The same into `text`, with a terminating zero: no allocation.
void md5ToChars(const uint8_t digest[16], char text[33]);
// The 16 bytes that 32 lowercase hexadecimal characters at `text` spell; false for anything else.
bool md5FromText(const char* text, size_t length, uint8_t digest[16]);
