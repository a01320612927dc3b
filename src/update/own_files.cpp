// The names of the updater's own files.
#include "update/own_files.h"

const char* const kSignatureCopyPath = "manifest.txt.minisig";
const char* const kTrustStatePath = "assets/updater/update.trust";
