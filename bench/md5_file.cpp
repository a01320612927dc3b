// Prints the project's digest of each file named, in md5sum's layout, for benchmarking.
#include <cstdio>

#include "util/md5.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string digest = md5OfFile(argv[i]);
        if (digest.empty()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        std::printf("%s  %s\n", digest.c_str(), argv[i]);
    }
    return 0;
}
