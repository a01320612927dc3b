// kib-manifest's command line and its file patterns.
#include "manifest/options.h"

#include <gtest/gtest.h>

TEST(ManifestOptions, DefaultsAndEveryOption) {
    ManifestOptions options;
    std::string error;
    ASSERT_EQ(parseArguments({"rel", "http://h/"}, options, error), ParseResult::Run) << error;
    EXPECT_EQ(options.releaseFolder, "rel");
    EXPECT_EQ(options.baseAddress, "http://h/");
    EXPECT_EQ(options.outputFolder, "");
    EXPECT_EQ(options.compressionLevel, 6);
    EXPECT_TRUE(options.compress);
    EXPECT_TRUE(options.delta);
    EXPECT_EQ(options.deltaMinSize, 8u << 20);

    ManifestOptions all;
    ASSERT_EQ(parseArguments({"-o", "out", "--exclude", "*.pdb", "--exclude", "saves", "--presence", "cfg/*.ini",
                              "--compress-min-size", "64k", "--min-saving", "25", "--level", "9", "-j", "3", "-q",
                              "--manifest-name", "m.txt", "--delta-min-size", "1M", "--sign", "k.key", "--expires-in",
                              "30", "--timestamp", "4102444801", "--allow-future-timestamp", "rel", "http://h/"},
                             all, error),
              ParseResult::Run)
        << error;
    EXPECT_EQ(all.outputFolder, "out");
    EXPECT_EQ(all.excludePatterns, (std::vector<std::string>{"*.pdb", "saves"}));
    EXPECT_EQ(all.presencePatterns, (std::vector<std::string>{"cfg/*.ini"}));
    EXPECT_EQ(all.compressMinSize, 65536u);
    EXPECT_EQ(all.minSavingPercent, 25);
    EXPECT_EQ(all.compressionLevel, 9);
    EXPECT_EQ(all.jobs, 3);
    EXPECT_TRUE(all.quiet);
    EXPECT_EQ(all.manifestName, "m.txt");
    EXPECT_EQ(all.deltaMinSize, 1u << 20);
    EXPECT_EQ(all.signingKeyPath, "k.key");
    EXPECT_EQ(all.expiresInDays, 30);
    EXPECT_EQ(all.timestamp, 4102444801);
    EXPECT_TRUE(all.allowFutureTimestamp);

    ManifestOptions none;
    ASSERT_EQ(parseArguments({"--no-compress", "--no-delta", "rel", "http://h/"}, none, error), ParseResult::Run);
    EXPECT_FALSE(none.compress);
    EXPECT_FALSE(none.delta);
    EXPECT_EQ(parseArguments({"rel", "--help"}, none, error), ParseResult::Help);
}

TEST(ManifestOptions, RefusesBadCommandLinesWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"rel"},
        {"rel", "http://h/", "extra"},
        {"--level", "0", "rel", "http://h/"},
        {"--level", "10", "rel", "http://h/"},
        {"--min-saving", "100", "rel", "http://h/"},
        {"--compress-min-size", "-1", "rel", "http://h/"},
        {"--compress-min-size", "1G", "rel", "http://h/"},
        {"--jobs", "0", "rel", "http://h/"},
        {"--delta-min-size", "0", "rel", "http://h/"},
        {"--delta-min-size", "big", "rel", "http://h/"},
        {"--manifest-name", "a/b", "rel", "http://h/"},
        {"--bogus", "rel", "http://h/"},
        {"rel", "http://h/", "-o"},
        {"--sign", "k.key", "--expires-in", "0", "rel", "http://h/"},
        {"--expires-in", "30", "rel", "http://h/"},
        {"--sign", "k.key", "--timestamp", "0", "rel", "http://h/"},
        {"--sign", "k.key", "--timestamp", "2100-01-01", "rel", "http://h/"},
        {"--timestamp", "1767225600", "rel", "http://h/"},
        {"--sign", "k.key", "--allow-future-timestamp", "rel", "http://h/"},
        {"--generate-key", "k", "rel"},
    };
    for (const auto& arguments : bad) {
        ManifestOptions options;
        std::string error;
        EXPECT_EQ(parseArguments(arguments, options, error), ParseResult::Invalid)
            << (arguments.empty() ? "(none)" : arguments[0]);
        EXPECT_NE(error, "");
    }
}

TEST(ManifestOptions, PatternsMatchNamesAnywhereOrWholePaths) {
    const std::vector<std::string> patterns = {"*.pdb", "saves", "cfg/*.ini"};
    EXPECT_TRUE(matchesAnyPattern(patterns, "kib.pdb"));
    EXPECT_TRUE(matchesAnyPattern(patterns, "bin/deep/x.pdb"));
    EXPECT_TRUE(matchesAnyPattern(patterns, "saves"));
    EXPECT_TRUE(matchesAnyPattern(patterns, "data/saves/slot1"));
    EXPECT_TRUE(matchesAnyPattern(patterns, "cfg/game.ini"));
    EXPECT_FALSE(matchesAnyPattern(patterns, "cfg/sub/game.ini"));
    EXPECT_FALSE(matchesAnyPattern(patterns, "other/cfg/game.ini"));
    EXPECT_FALSE(matchesAnyPattern(patterns, "savestate"));
    EXPECT_FALSE(matchesAnyPattern(patterns, "kib.pdb.txt"));
    EXPECT_FALSE(matchesAnyPattern({}, "anything"));
}
