// The index of names held elsewhere: every name found after any number of growths, names that
// differ by a byte or share a prefix told apart, and a name indexed twice keeps its first entry.
#include "util/path_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/path_list.h"

TEST(PathIndex, FindsEveryNameOnceThroughEveryGrowth) {
    PathList names;
    for (int i = 0; i < 20000; ++i) names.push_back("data/d" + std::to_string(i % 37) + "/f" + std::to_string(i));
    // Names that only a byte, a prefix or their length tell apart, and the empty name.
    for (const char* name : {"", "a", "a/", "A", "a\xc3\xa9", "data/d0/f1 ", "data/d0/f1\t"}) names.push_back(name);
    auto nameOf = [&](uint32_t at) { return names[at]; };
    for (const bool reserved : {false, true}) {
        SCOPED_TRACE(reserved ? "reserved" : "grown");
        PathIndex index;
        if (reserved) index.reserve(names.size());
        for (uint32_t at = 0; at < names.size(); ++at) ASSERT_EQ(index.insert(at, nameOf), PathIndex::kNone) << names[at];
        EXPECT_EQ(index.size(), names.size());
        for (uint32_t at = 0; at < names.size(); ++at) ASSERT_EQ(index.find(names[at], nameOf), at) << names[at];
        for (const char* absent : {"data/d0/f20000", "data/d0", "b", "data/d1/f0"}) EXPECT_EQ(index.find(absent, nameOf), PathIndex::kNone) << absent;
        // The same name again: the first entry stays and is the one found.
        PathList twice = names;
        twice.push_back("data/d5/f5");
        auto twiceName = [&](uint32_t at) { return twice[at]; };
        EXPECT_EQ(index.insert(uint32_t(twice.size() - 1), twiceName), 5u);
        EXPECT_EQ(index.find("data/d5/f5", twiceName), 5u);
        EXPECT_EQ(index.size(), names.size());
    }
}
