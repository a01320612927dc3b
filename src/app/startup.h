// The configuration, read once at start-up.
#pragma once

// Fills ManifestUrl from "assets/updater/update.cfg": its content trimmed at both ends, then
// "?ver=0.3.0", or "&ver=0.3.0" when the address has a query of its own. A missing file ends the
// program with a fatal error.
void loadConfig();
