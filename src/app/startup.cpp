// The configuration, read once at start-up.
#include "app/startup.h"

#include "net/url.h"
#include "util/file_system.h"
#include "util/strings.h"

namespace {

const char* const kConfigPath = "assets/updater/update.cfg";

}  // namespace

bool loadConfig(std::string& manifestUrl) {
    std::string content;
    if (!readWholeFile(content, kConfigPath)) return false;
    // Every editor ends the file with a line break; inside the request line it would break the
    // request (and let a configuration smuggle in header lines).
    trimWhitespace(content);
    // A space or a letter beyond ASCII ("my game/manifest.txt") goes out encoded, as a browser sends it.
    // An address that has a query already ("manifest.txt?channel=beta") gets the version behind '&'.
    manifestUrl = withQuery(encodeAddress(content), "ver=" KIB_VERSION);
    return true;
}
