// kib-manifest: publishes a game release for the kib Updater (manifest and gzip copies).
#include <cstdio>
#include <string>
#include <vector>

#include "manifest/options.h"
#include "manifest/release_builder.h"

int main(int argc, char** argv) {
    ManifestOptions options;
    std::string error;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    switch (parseArguments(arguments, options, error)) {
    case ParseResult::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case ParseResult::Version:
        std::printf("kib-manifest %s\n", KIB_VERSION);
        return 0;
    case ParseResult::Invalid:
        std::fprintf(stderr, "kib-manifest: %s\n\n%s", error.c_str(), usageText().c_str());
        return 2;
    case ParseResult::Run:
        break;
    }

    PublishSummary summary;
    if (!publishRelease(options, summary, error, stderr)) {
        std::fprintf(stderr, "kib-manifest: %s\n", error.c_str());
        return 1;
    }
    std::printf("%d files (%d compressed, %d presence only): %.1f MB in the release, %.1f MB on the server\n",
                summary.files, summary.compressedFiles, summary.presenceFiles, double(summary.releaseBytes) / 1e6,
                double(summary.serverBytes) / 1e6);
    if (summary.skippedCopies > 0)
        std::printf("%d .gz files beside files of the same name were taken for compressed copies of an earlier run and left out\n",
                    summary.skippedCopies);
    std::printf("Manifest: %s\nupdate.cfg must hold: %s\n", summary.manifestPath.c_str(), summary.manifestAddress.c_str());
    return 0;
}
