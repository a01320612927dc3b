// Text operations shared by the manifest reader, the HTTP client and the outcome messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

// Decimal, "-" for negative values, nothing else.
std::string intToString(int32_t value);
// Appends every non-empty piece of `text` between occurrences of `separator`, then the piece
// after the last one (even when empty). False, and nothing appended, for an empty text or
// separator.
bool split(StringList& out, const std::string& text, const std::string& separator);
// Replaces every occurrence of `pattern` in place, until none is left, in time linear in the
// text. `pattern` must not be empty and `replacement` must not re-create it.
void replaceAll(std::string& text, const std::string& pattern, const std::string& replacement);
// Space, tab, line feed, vertical tab, form feed, carriage return; no byte of 128 or more.
bool isWhitespace(char c);
// Deletes every whitespace character, inside the text too, in place.
void removeWhitespace(std::string& text);
// Deletes whitespace at both ends only, in place.
void trimWhitespace(std::string& text);
// ASCII letters lower-cased; every other byte as it is. File names are compared by
// foldCaseAsWindows (util/case_fold.h) instead.
std::string asciiLowerCase(std::string text);
// True when `text` ends in `suffix` (exactly).
bool endsWith(const std::string& text, const std::string& suffix);
// True when `name` ends in ".gz" (in lower case): how a gzip-compressed file is named.
bool hasGzipSuffix(const std::string& name);
// `name` without its last three characters, the ".gz" of a compressed name; as it is when it
// is shorter.
std::string withoutGzipSuffix(const std::string& name);
