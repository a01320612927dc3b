// The weak checksum of a window of bytes that slides one byte at a time in constant time.
#pragma once

#include <cstddef>
#include <cstdint>

// Two 16-bit sums over a window of `length` bytes x[0..length): `low` is the sum of the bytes,
// `high` the sum of (length - i) * x[i]. Rolling the window by one byte updates both from the
// byte that leaves and the one that enters, so a scan checks every offset of a file cheaply.
// Not a hash: equal values only say that a strong hash is worth computing.
class RollingChecksum {
public:
    // The checksum of `data[0..length)`.
    void reset(const uint8_t* data, size_t length) {
        uint32_t low = 0;
        uint32_t high = 0;
        for (size_t i = 0; i < length; ++i) {
            low += data[i];
            high += uint32_t(length - i) * data[i];
        }
        length_ = uint32_t(length);
        low_ = low & 0xffff;
        high_ = high & 0xffff;
    }
    // Moves the window one byte on: `leaving` was its first byte, `entering` follows its last.
    void roll(uint8_t leaving, uint8_t entering) {
        low_ = (low_ - leaving + entering) & 0xffff;
        high_ = (high_ - length_ * leaving + low_) & 0xffff;
    }
    uint32_t value() const { return (high_ << 16) | low_; }

private:
    uint32_t length_ = 0;
    uint32_t low_ = 0;
    uint32_t high_ = 0;
};
