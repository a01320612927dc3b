// The configuration, read once at start-up.
#include "app/startup.h"

#include "app/outcome.h"
#include "net/url.h"
#include "update/run_state.h"
#include "util/file_system.h"
#include "util/strings.h"

namespace {

const char* const kConfigPath = "assets/updater/update.cfg";
const char* const kVersionQuery = "?ver=0.3.0";

}  // namespace

void loadConfig() {
    std::string content;
    if (!readWholeFile(content, kConfigPath)) fatalError("assets/updater/update.cfg missing.");
    // Every editor ends the file with a line break; inside the request line it would break the
    // request (and let a configuration smuggle in header lines).
    trimWhitespace(content);
    // A space or a letter beyond ASCII ("my game/manifest.txt") goes out encoded, as a browser sends it.
    content = encodeAddress(content);
    // An address that has a query already ("manifest.txt?channel=beta") gets the version behind '&'.
    ManifestUrl = content.find('?') == std::string::npos ? content + kVersionQuery
                                                         : content + "&" + (kVersionQuery + 1);
}
