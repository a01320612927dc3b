// Letter case as Windows' file systems see it: names that differ only in it are one file there.
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) with every letter put in the one form Windows gives it when it compares file
// names: its own upper-case table (the one CompareStringOrdinal ignores case by), which maps
// each UTF-16 unit on its own. Two names are one file on Windows when their folds are equal.
// Letters beyond the Basic Multilingual Plane, and bytes that are not UTF-8, stay as they are.
std::string foldCaseAsWindows(const std::string& text);
// The same into `out`, whose room is reused from call to call.
void foldCaseAsWindows(std::string_view text, std::string& out);
