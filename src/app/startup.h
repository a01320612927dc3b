// The configuration, read once at start-up.
#pragma once

#include <string>

// The manifest's address from "assets/updater/update.cfg": its content trimmed at both ends,
// then "?ver=" and the updater's version, or "&ver=..." when the address has a query of its
// own. False when the file cannot be read.
bool loadConfig(std::string& manifestUrl);
