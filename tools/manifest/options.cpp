// Reading kib-manifest's command line.
#include "manifest/options.h"

#include <fnmatch.h>

#include <cstdlib>

namespace {

bool parseUnsigned(const std::string& text, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

// "4096", "64k", "2M": a size in bytes with an optional binary unit.
bool parseSize(std::string text, uint64_t& value) {
    uint64_t unit = 1;
    if (!text.empty()) {
        const char last = text.back();
        if (last == 'k' || last == 'K') unit = 1024;
        if (last == 'm' || last == 'M') unit = 1024 * 1024;
        if (unit != 1) text.pop_back();
    }
    if (!parseUnsigned(text, value)) return false;
    value *= unit;
    return true;
}

bool parseInRange(const std::string& text, int low, int high, int& value) {
    uint64_t parsed = 0;
    if (!parseUnsigned(text, parsed) || parsed < uint64_t(low) || parsed > uint64_t(high)) return false;
    value = int(parsed);
    return true;
}

}  // namespace

std::string usageText() {
    return
        "Usage: kib-manifest [options] RELEASE_FOLDER BASE_ADDRESS\n"
        "       kib-manifest --generate-key NAME\n"
        "\n"
        "Writes the manifest the kib Updater reads for the game files in RELEASE_FOLDER,\n"
        "published at BASE_ADDRESS (http[s]://host[:port]/path/), and a gzip copy of every file\n"
        "worth compressing. Upload the server copy so that BASE_ADDRESS + path fetches each\n"
        "file, and point assets/updater/update.cfg at BASE_ADDRESS + the manifest's name.\n"
        "\n"
        "Options:\n"
        "  -o, --output FOLDER      write the server copy (every file, the .gz files and the\n"
        "                           manifest) into FOLDER, outside the release folder; without\n"
        "                           it the .gz files and the manifest go into RELEASE_FOLDER\n"
        "  --manifest-name NAME     the manifest's file name (default manifest.txt)\n"
        "  --exclude PATTERN        leave matching files and folders out (repeatable); a\n"
        "                           pattern without '/' matches any name, one with '/' the\n"
        "                           whole relative path, e.g. --exclude '*.pdb' --exclude 'saves'\n"
        "  --presence PATTERN       list matching files by name only: the updater creates them\n"
        "                           when missing and never replaces them (repeatable)\n"
        "  --compress-min-size N    compress only files of at least N bytes (k and M allowed;\n"
        "                           default 4096)\n"
        "  --min-saving PERCENT     keep a compressed copy only when it is at least PERCENT\n"
        "                           smaller (default 10)\n"
        "  --level N                compression level 1-9 (default 6, as gzip)\n"
        "  --no-compress            compress nothing (files ending in .gz still are: the\n"
        "                           updater unpacks every downloaded .gz file)\n"
        "  --delta-min-size N       write a block map beside every file of at least N bytes\n"
        "                           (default 8M), so that updaters fetch only the blocks that\n"
        "                           changed; such a file is also served uncompressed\n"
        "  --no-delta               write no block maps\n"
        "  -j, --jobs N             files processed at once (default: one per processor)\n"
        "  --sign SECRET_KEY_FILE   sign the manifest with a minisign secret key: writes\n"
        "                           <manifest name>.minisig beside it (upload both). A key\n"
        "                           with a password reads it from the environment variable\n"
        "                           KIB_MANIFEST_KEY_PASSWORD, or else from the terminal\n"
        "  --expires-in DAYS        with --sign: players' updaters refuse the manifest DAYS\n"
        "                           days from now, so that a release must be re-signed\n"
        "  --timestamp SECONDS      with --sign: sign with this timestamp (Unix seconds)\n"
        "                           instead of the clock's; players refuse every later\n"
        "                           release signed with an earlier one. A timestamp ahead of\n"
        "                           the clock is refused unless --allow-future-timestamp\n"
        "  --allow-future-timestamp only to go on after a release signed with a wrong clock\n"
        "                           (see docs/signing.md): lets --timestamp lie ahead\n"
        "  --generate-key NAME      write a new key pair, NAME.pub and NAME.key (no password,\n"
        "                           readable by you only), and publish nothing. The game ships\n"
        "                           NAME.pub as assets/updater/update.pub; keep NAME.key off\n"
        "                           the server\n"
        "  -q, --quiet              no progress line\n"
        "  -h, --help               this text\n"
        "  --version                the version, then nothing else\n"
        "\n"
        "Exit status: 0 when the manifest was written, 1 when a file or folder could not be\n"
        "read or written or a path cannot be published, 2 for a bad command line.\n";
}

ParseResult parseArguments(const std::vector<std::string>& arguments, ManifestOptions& options,
                           std::string& error) {
    std::vector<std::string> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= arguments.size()) {
                error = argument + " needs a value";
                return false;
            }
            out = arguments[++i];
            return true;
        };
        std::string text;
        if (argument == "-h" || argument == "--help") return ParseResult::Help;
        if (argument == "--version") return ParseResult::Version;
        if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else if (argument == "--no-compress") {
            options.compress = false;
        } else if (argument == "--no-delta") {
            options.delta = false;
        } else if (argument == "--delta-min-size") {
            if (!value(text)) return ParseResult::Invalid;
            if (!parseSize(text, options.deltaMinSize) || options.deltaMinSize == 0) {
                error = "--delta-min-size takes a size in bytes, such as 8M or 65536";
                return ParseResult::Invalid;
            }
        } else if (argument == "-o" || argument == "--output") {
            if (!value(options.outputFolder)) return ParseResult::Invalid;
        } else if (argument == "--manifest-name") {
            if (!value(options.manifestName)) return ParseResult::Invalid;
            if (options.manifestName.empty() || options.manifestName.find('/') != std::string::npos) {
                error = "--manifest-name takes a file name without '/'";
                return ParseResult::Invalid;
            }
        } else if (argument == "--exclude") {
            if (!value(text)) return ParseResult::Invalid;
            options.excludePatterns.push_back(text);
        } else if (argument == "--presence") {
            if (!value(text)) return ParseResult::Invalid;
            options.presencePatterns.push_back(text);
        } else if (argument == "--compress-min-size") {
            if (!value(text)) return ParseResult::Invalid;
            if (!parseSize(text, options.compressMinSize)) {
                error = "--compress-min-size takes a size in bytes, such as 4096, 64k or 1M";
                return ParseResult::Invalid;
            }
        } else if (argument == "--min-saving") {
            if (!value(text)) return ParseResult::Invalid;
            if (!parseInRange(text, 0, 99, options.minSavingPercent)) {
                error = "--min-saving takes a percentage from 0 to 99";
                return ParseResult::Invalid;
            }
        } else if (argument == "--level") {
            if (!value(text)) return ParseResult::Invalid;
            if (!parseInRange(text, 1, 9, options.compressionLevel)) {
                error = "--level takes a number from 1 to 9";
                return ParseResult::Invalid;
            }
        } else if (argument == "-j" || argument == "--jobs") {
            if (!value(text)) return ParseResult::Invalid;
            if (!parseInRange(text, 1, 256, options.jobs)) {
                error = "--jobs takes a number from 1 to 256";
                return ParseResult::Invalid;
            }
        } else if (argument == "--sign") {
            if (!value(options.signingKeyPath)) return ParseResult::Invalid;
        } else if (argument == "--expires-in") {
            if (!value(text)) return ParseResult::Invalid;
            if (!parseInRange(text, 1, 36500, options.expiresInDays)) {
                error = "--expires-in takes a number of days from 1 to 36500";
                return ParseResult::Invalid;
            }
        } else if (argument == "--timestamp") {
            if (!value(text)) return ParseResult::Invalid;
            uint64_t seconds = 0;
            if (!parseUnsigned(text, seconds) || seconds == 0) {
                error = "--timestamp takes Unix seconds, such as 1767225600";
                return ParseResult::Invalid;
            }
            options.timestamp = int64_t(seconds);
        } else if (argument == "--allow-future-timestamp") {
            options.allowFutureTimestamp = true;
        } else if (argument == "--generate-key") {
            if (!value(options.generateKeyName)) return ParseResult::Invalid;
        } else if (argument.size() > 1 && argument[0] == '-') {
            error = "unknown option " + argument;
            return ParseResult::Invalid;
        } else {
            positional.push_back(argument);
        }
    }
    if (!options.generateKeyName.empty()) {
        if (!positional.empty()) {
            error = "--generate-key publishes nothing; it takes no release folder or address";
            return ParseResult::Invalid;
        }
        return ParseResult::Run;
    }
    if (options.expiresInDays > 0 && options.signingKeyPath.empty()) {
        error = "--expires-in needs --sign";
        return ParseResult::Invalid;
    }
    if (options.timestamp > 0 && options.signingKeyPath.empty()) {
        error = "--timestamp needs --sign";
        return ParseResult::Invalid;
    }
    if (options.allowFutureTimestamp && options.timestamp == 0) {
        error = "--allow-future-timestamp needs --timestamp";
        return ParseResult::Invalid;
    }
    if (positional.size() != 2) {
        error = "expected a release folder and a base address";
        return ParseResult::Invalid;
    }
    options.releaseFolder = positional[0];
    options.baseAddress = positional[1];
    return ParseResult::Run;
}

bool matchesAnyPattern(const std::vector<std::string>& patterns, const std::string& relativePath) {
    for (const std::string& pattern : patterns) {
        if (pattern.find('/') != std::string::npos) {
            if (fnmatch(pattern.c_str(), relativePath.c_str(), FNM_PATHNAME) == 0) return true;
            continue;
        }
        size_t begin = 0;
        for (;;) {
            const size_t end = relativePath.find('/', begin);
            const std::string name = relativePath.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
            if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
            if (end == std::string::npos) break;
            begin = end + 1;
        }
    }
    return false;
}
