// kib-manifest: publishes a game release for the kib Updater (manifest and gzip copies).
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "manifest/options.h"
#include "manifest/release_builder.h"
#include "manifest/signed_files.h"
#include "manifest/signing.h"

namespace {

int generateKey(const std::string& name) {
    PublicKey publicKey;
    std::string error;
    if (!generateKeyPair(name, publicKey, error)) {
        std::fprintf(stderr, "kib-manifest: %s\n", error.c_str());
        return 1;
    }
    std::printf("Key ID %s\n"
                "Public key: %s.pub: ship it in the game's folder as assets/updater/update.pub\n"
                "Secret key: %s.key: sign with --sign %s.key; keep it off the server, and keep a copy\n",
                keyIdText(publicKey.keyId).c_str(), name.c_str(), name.c_str(), name.c_str());
    return 0;
}

}  // namespace

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

    if (!options.generateKeyName.empty()) return generateKey(options.generateKeyName);

    // A timestamp ahead of the clock is recorded by every player as the newest release, and
    // every release signed after it with the right time is then refused as older.
    const int64_t now = int64_t(std::time(nullptr));
    SigningTerms terms;
    terms.timestamp = options.timestamp > 0 ? options.timestamp : now;
    terms.expiresAt = options.expiresInDays > 0 ? now + int64_t(options.expiresInDays) * 86400 : 0;
    if (terms.timestamp > now && !options.allowFutureTimestamp) {
        std::fprintf(stderr,
                     "kib-manifest: --timestamp %lld lies ahead of this machine's clock (%lld): players would refuse "
                     "every later release signed before that moment. Only to go on after a release signed with a "
                     "wrong clock, add --allow-future-timestamp (see docs/signing.md)\n",
                     static_cast<long long>(terms.timestamp), static_cast<long long>(now));
        return 2;
    }

    // The key is read first, so that a wrong password costs no publishing run.
    SecretKey key;
    if (!options.signingKeyPath.empty() && !readSecretKey(options.signingKeyPath, key, error)) {
        std::fprintf(stderr, "kib-manifest: %s\n", error.c_str());
        return 1;
    }
    PublishSummary summary;
    if (!publishRelease(options, summary, error, stderr)) {
        std::fprintf(stderr, "kib-manifest: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& warning : summary.warnings) std::fprintf(stderr, "kib-manifest: warning: %s\n", warning.c_str());
    if (!options.signingKeyPath.empty() &&
        !writeSignedFiles(summary.manifestPath, options.manifestName, summary.presenceDigests, key, terms))
        return 1;
    // A signature of the manifest this run replaced would be uploaded with the new one, and
    // players holding the key would be told the signature is wrong, not that it is missing.
    if (options.signingKeyPath.empty() && !removeSignedFiles(summary.manifestPath)) return 1;
    std::printf("%d files (%d compressed, %d presence only): %.1f MB in the release, %.1f MB on the server\n",
                summary.files, summary.compressedFiles, summary.presenceFiles, double(summary.releaseBytes) / 1e6,
                double(summary.serverBytes) / 1e6);
    if (summary.blockMaps > 0)
        std::printf("%d large files have a block map beside them, for updates that fetch only changed blocks\n",
                    summary.blockMaps);
    if (summary.skippedCopies > 0)
        std::printf("%d .gz files beside files of the same name were taken for compressed copies of an earlier run and left out\n",
                    summary.skippedCopies);
    std::printf("Manifest: %s\nupdate.cfg must hold: %s\n", summary.manifestPath.c_str(), summary.manifestAddress.c_str());
    return 0;
}
