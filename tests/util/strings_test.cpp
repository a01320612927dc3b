// The text operations on the cases the manifest reader and the HTTP client depend on.
#include "util/strings.h"

#include <gtest/gtest.h>

TEST(Split, KeepsTheLastPieceEvenWhenEmptyAndDropsOtherEmptyPieces) {
    const struct {
        std::string text, separator;
        StringList expected;
    } cases[] = {
        {"a\nb\n", "\n", {"a", "b", ""}},
        {"\n\na", "\n", {"a"}},
        {"abc", "\n", {"abc"}},
        {"\n", "\n", {""}},
        {"xabyabz", "ab", {"x", "y", "z"}},
        {"aaa", "aa", {"a"}},
        {"a,,b", ",", {"a", "b"}},
    };
    for (const auto& c : cases) {
        StringList out;
        EXPECT_TRUE(split(out, c.text, c.separator));
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(Split, RefusesEmptyTextOrSeparatorAndAppendsBehindExistingEntries) {
    StringList out{"kept"};
    EXPECT_FALSE(split(out, "", "\n"));
    EXPECT_FALSE(split(out, "a", ""));
    EXPECT_TRUE(split(out, "b", "\n"));
    EXPECT_EQ(out, (StringList{"kept", "b"}));
}

TEST(ReplaceAll, RemovesCarriageReturnsAndRescansFromTheStart) {
    std::string text = "a\r\nb\r\n";
    replaceAll(text, "\r", "");
    EXPECT_EQ(text, "a\nb\n");
    text = "abb";
    replaceAll(text, "ab", "a");
    EXPECT_EQ(text, "a");
    text = "none";
    replaceAll(text, "x", "y");
    EXPECT_EQ(text, "none");
}

TEST(Whitespace, RemovedEverywhereButHighBytesStay) {
    std::string text = " a b\tc\r";
    removeWhitespace(text);
    EXPECT_EQ(text, "abc");
    text = "docs/readme.txt : 0123abcd";
    removeWhitespace(text);
    EXPECT_EQ(text, "docs/readme.txt:0123abcd");
    text = " \t\n\v\f\r";
    removeWhitespace(text);
    EXPECT_EQ(text, "");
    text = "a\xa0" "b";
    removeWhitespace(text);
    EXPECT_EQ(text, "a\xa0" "b");
}

TEST(Whitespace, TrimOnlyTouchesBothEnds) {
    std::string text = "\r\n http://host/a b/m.txt \r\n";
    trimWhitespace(text);
    EXPECT_EQ(text, "http://host/a b/m.txt");
    text = "\n\n";
    trimWhitespace(text);
    EXPECT_EQ(text, "");
}

TEST(Numbers, IntToStringIsPlainDecimal) {
    EXPECT_EQ(intToString(0), "0");
    EXPECT_EQ(intToString(-5), "-5");
    EXPECT_EQ(intToString(2147483647), "2147483647");
    EXPECT_EQ(intToString(-2147483647 - 1), "-2147483648");
}
