// The files the updater keeps for itself in the game's folder. They are reserved: no manifest
// may list them and kib-manifest refuses to publish them.
#pragma once

// The signature fetched beside the manifest; it lives only while the manifest is checked.
extern const char* const kSignatureCopyPath;
// The timestamp of the newest signed manifest accepted here, so that an older one is refused.
extern const char* const kTrustStatePath;
