// Letter case as Windows compares file names: known answers from its own upper-case table.
#include "util/case_fold.h"

#include <gtest/gtest.h>

TEST(CaseFold, FoldsAsWindowsDoesAndNoFurther) {
    const struct {
        const char* text;
        const char* folded;
    } cases[] = {
        {"data/Level.pak", "DATA/LEVEL.PAK"},
        {"\xC3\xA9mile", "\xC3\x89MILE"},                 // é → É
        {"\xC3\xBF", "\xC5\xB8"},                         // ÿ → Ÿ
        {"\xCF\x89mega", "\xCE\xA9MEGA"},                 // ω → Ω
        {"\xD0\xB6", "\xD0\x96"},                         // ж → Ж
        {"\xC9\x90", "\xE2\xB1\xAF"},                     // ɐ → Ɐ, two bytes become three
        {"\xC4\xB1", "\xC4\xB1"},                         // the dotless ı stays apart from I
        {"\xC5\xBF", "\xC5\xBF"},                         // the long ſ stays apart from S
        {"\xC2\xB5", "\xC2\xB5"},                         // the micro sign stays apart from Μ
        {"\xCF\x82", "\xCF\x82"},                         // the final ς stays apart from Σ
        {"\xF0\x90\x90\xA8", "\xF0\x90\x90\xA8"},         // beyond the Basic Multilingual Plane
        {"a\xC3" "b\xC0\xAF\xED\xA0\x80", "A\xC3" "B\xC0\xAF\xED\xA0\x80"},  // not UTF-8: bytes kept
    };
    for (const auto& c : cases) EXPECT_EQ(foldCaseAsWindows(c.text), c.folded) << c.text;
}
