// The digest of bytes in memory, as the manifest writes it: what the tests expect a file to have.
#pragma once

#include <cstdint>
#include <string>

#include "util/md5.h"

// The digest of `length` bytes as 32 lowercase hexadecimal characters.
inline std::string md5OfBuffer(const void* data, int32_t length) {
    Md5State state;
    uint8_t digest[16];
    md5Init(state);
    md5Append(state, static_cast<const uint8_t*>(data), length);
    md5Finish(state, digest);
    return md5ToText(digest);
}
