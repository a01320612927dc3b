// Standard output gathered in blocks: plain C stdio, the same on every system.
#include "platform/platform.h"

#include <cstdio>

void platformWriteInBlocks(std::FILE* stream) {
    // A buffer of our own: given none, the C library keeps the size it likes (4 KiB) and ignores ours.
    static char block[kPlatformOutputBlock];
    std::setvbuf(stream, block, _IOFBF, sizeof block);
}
