// The ways to a staged file that need no download: what an earlier run staged, a ".gz" it left
// verified, and a file of the folder that holds the same bytes.
#include "update/staging.h"

#include <gtest/gtest.h>

#include "net/http_client.h"
#include "support/digest.h"
#include "support/temp_dir.h"

TEST(Staging, AFileIsStagedWithoutADownloadOnlyWhenItsBytesAreRight) {
    const std::string content = "the release's bytes";
    const std::string right = md5OfBuffer(content.data(), int32_t(content.size()));
    const struct {
        const char* name;
        // What stands in the folder before the attempt.
        const char* staged;
        const char* leftGz;
        const char* source;
        bool taken;
        bool present;
        const char* note;
    } cases[] = {
        {"staged by an earlier run", "the release's bytes", nullptr, nullptr, true, false, "\t\t\tStaged by an earlier run\n"},
        {"staged, but not these bytes", "other bytes", nullptr, nullptr, false, false, ""},
        {"a .gz left verified", nullptr, "the release's bytes", nullptr, true, true, ""},
        {"copied from a file that holds them", nullptr, nullptr, "the release's bytes", true, false,
         "\t\t\tCopied from source, which holds the same bytes\n"},
        {"a source that changed meanwhile", nullptr, nullptr, "changed since", false, false, ""},
        {"nothing to go by", nullptr, nullptr, nullptr, false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ScopedWorkingDirectory inside(dir.path());
        if (c.staged) dir.write("staged", c.staged);
        if (c.leftGz) dir.write("staged.gz", c.leftGz);
        if (c.source) dir.write("source", c.source);
        DownloadRequest request;
        request.localPath = "staged.gz";
        request.verifyExisting = true;
        request.expectedMd5 = right;
        request.shortcut.resultPath = "staged";
        request.shortcut.md5 = right;
        if (c.source) request.shortcut.copyFrom = "source";
        EXPECT_EQ(stageByShortcut(request, HttpOptions()), c.taken);
        EXPECT_EQ(request.present, c.present);
        EXPECT_EQ(request.note, c.note);
        if (c.taken && !c.present) {
            EXPECT_EQ(request.finishing.verifiedPath, "staged");
            EXPECT_EQ(dir.read("staged"), content);
        }
        // Nothing of the player's is touched, and no half copy stays behind.
        if (c.source) {
            EXPECT_EQ(dir.read("source"), c.source);
        }
        EXPECT_FALSE(dir.exists("staged.part"));
    }
}
