// What the fuzz targets share: a check that stops the run with a finding, and a scratch folder.
#pragma once

#include <string>

// A violated property: prints `what` (with the input's file and line) and aborts, so libFuzzer
// saves the input as a crash artefact.
#define FUZZ_CHECK(condition, what)                                              \
    do {                                                                         \
        if (!(condition)) fuzzFailure(__FILE__, __LINE__, #condition, (what));   \
    } while (0)

[[noreturn]] void fuzzFailure(const char* file, int line, const char* condition, const std::string& what);

// A new empty folder under $TMPDIR (or /tmp), removed when the process exits.
std::string makeScratchFolder(const char* name);
void writeFile(const std::string& path, const std::string& content);
bool pathExists(const std::string& path);
