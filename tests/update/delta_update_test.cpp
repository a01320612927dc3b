// The delta shortcut makes the download manager's look at the local file itself: a file
// already right is kept, whatever the server offers; a stale one is not.
#include "update/delta_update.h"

#include <gtest/gtest.h>

#include "net/http_client.h"
#include "support/digest.h"
#include "support/temp_dir.h"

TEST(DeltaUpdate, LooksWhetherTheLocalFileIsRightAlready) {
    const std::string content = patternBytes(kDeltaMinLocalSize + 100, 4);
    const std::string right = md5OfBuffer(content.data(), int32_t(content.size()));
    const struct {
        const char* name;
        bool verifyExisting;
        std::string expectedMd5;
        bool present;
    } cases[] = {
        {"right already", true, right, true},
        {"stale", true, std::string(32, '0'), false},
        {"not asked to look", false, right, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("big", content);
        DownloadRequest request;
        request.localPath = dir.file("big");
        request.downloadPath = dir.file("big.part");
        request.verifyExisting = c.verifyExisting;
        request.expectedMd5 = c.expectedMd5;
        // Nothing listens there: no map, so only the look can make the shortcut succeed.
        request.shortcut = deltaPlanFor("http://127.0.0.1:1/big", request.localPath, c.expectedMd5);
        ASSERT_TRUE(request.shortcut.attempt);
        EXPECT_EQ(tryDeltaUpdate(request, HttpOptions()), c.present);
        EXPECT_EQ(request.present, c.present);
        EXPECT_EQ(request.note.empty(), c.present);
        EXPECT_EQ(dir.read("big"), content);
    }
}
