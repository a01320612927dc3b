// Fuzzes the string helpers against properties they must keep for any bytes: the pieces of
// split put back together give the text, replaceAll leaves no pattern, the whitespace helpers
// agree with the classic locale, and intToString writes plain decimal.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "util/strings.h"

namespace {

void checkSplit(FuzzedDataProvider& input) {
    const std::string separator = input.ConsumeRandomLengthString(8);
    const std::string text = input.ConsumeRemainingBytesAsString();
    StringList pieces = {"kept"};
    const bool ok = split(pieces, text, separator);
    FUZZ_CHECK(pieces.front() == "kept", "split must append, not replace");
    if (text.empty() || separator.empty()) {
        FUZZ_CHECK(!ok && pieces.size() == 1, "an empty text or separator appends nothing");
        return;
    }
    FUZZ_CHECK(ok, "split of a non-empty text at a non-empty separator succeeds");
    // The same cut made another way: every piece between non-overlapping separators, left to
    // right, keeping the empty ones but for the last.
    StringList expected = {"kept"};
    size_t start = 0;
    for (size_t at = 0; at + separator.size() <= text.size();) {
        if (text.compare(at, separator.size(), separator) == 0) {
            if (at > start) expected.push_back(text.substr(start, at - start));
            at += separator.size();
            start = at;
        } else {
            ++at;
        }
    }
    expected.push_back(text.substr(start));
    FUZZ_CHECK(pieces == expected, "split disagrees with a plain left-to-right cut");
    for (size_t i = 1; i + 1 < pieces.size(); ++i)
        FUZZ_CHECK(!pieces[i].empty() && pieces[i].find(separator) == std::string::npos,
                   "a piece before the last is empty or holds the separator");
}

void checkReplaceAll(FuzzedDataProvider& input) {
    const std::string pattern = input.ConsumeRandomLengthString(8);
    // A replacement as long as the pattern could re-create it for ever, which the contract
    // forbids; shorter ones always end.
    std::string replacement = input.ConsumeRandomLengthString(8);
    if (replacement.size() >= pattern.size()) replacement.resize(pattern.empty() ? 0 : pattern.size() - 1);
    const std::string original = input.ConsumeRemainingBytesAsString();
    std::string text = original;
    replaceAll(text, pattern, replacement);
    if (pattern.empty()) {
        FUZZ_CHECK(text == original, "an empty pattern changes nothing");
        return;
    }
    FUZZ_CHECK(text.find(pattern) == std::string::npos, "replaceAll left an occurrence of the pattern");
    FUZZ_CHECK((original.size() - text.size()) % (pattern.size() - replacement.size()) == 0,
               "the length changed by something other than whole replacements");
    if (pattern.size() == 1 && replacement.empty()) {
        std::string kept;
        for (char c : original)
            if (c != pattern[0]) kept += c;
        FUZZ_CHECK(text == kept, "removing one character must keep every other byte in order");
    }
}

void checkWhitespace(FuzzedDataProvider& input) {
    const std::string original = input.ConsumeRemainingBytesAsString();
    std::string kept;
    for (char c : original) {
        FUZZ_CHECK(isWhitespace(c) == (std::isspace(static_cast<unsigned char>(c)) != 0),
                   "isWhitespace disagrees with isspace in the classic locale for byte " +
                       std::to_string(static_cast<unsigned char>(c)));
        if (!isWhitespace(c)) kept += c;
    }
    std::string removed = original;
    removeWhitespace(removed);
    FUZZ_CHECK(removed == kept, "removeWhitespace must drop exactly the whitespace, keeping the order");

    std::string trimmed = original;
    trimWhitespace(trimmed);
    const size_t at = original.find(trimmed);
    FUZZ_CHECK(at != std::string::npos, "the trimmed text is not part of the text");
    if (trimmed.empty()) {
        FUZZ_CHECK(kept.empty(), "trimming emptied a text that has more than whitespace");
        return;
    }
    FUZZ_CHECK(!isWhitespace(trimmed.front()) && !isWhitespace(trimmed.back()), "whitespace left at an end");
    for (size_t i = 0; i < original.size(); ++i) {
        const bool inside = i >= at && i < at + trimmed.size();
        FUZZ_CHECK(inside || isWhitespace(original[i]), "trimming dropped a byte that is not whitespace");
    }
}

void checkNumbers(FuzzedDataProvider& input) {
    const int32_t value = input.ConsumeIntegral<int32_t>();
    const std::string decimal = intToString(value);
    FUZZ_CHECK(decimal == std::to_string(value), "intToString is not plain decimal: " + decimal);
}

}  // namespace

// The first byte picks the helper; the rest is its input, pieces of text ending in "\\" and
// another byte (FuzzedDataProvider's random-length strings), then the text itself.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FuzzedDataProvider input(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0: checkSplit(input); break;
    case 1: checkReplaceAll(input); break;
    case 2: checkWhitespace(input); break;
    default: checkNumbers(input); break;
    }
    return 0;
}
