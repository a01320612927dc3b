// The delta shortcut refuses a block map as soon as its header shows that it does not fit, or
// that it is of another format.
#include "update/delta_update.h"

#include <gtest/gtest.h>

#include "net/http_client.h"
#include "support/digest.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "update/block_map.h"

TEST(DeltaUpdate, RefusesAMapAsSoonAsItDoesNotFitItsHeader) {
    TempDir dir;
    const std::string content = patternBytes(kDeltaMinLocalSize + 100, 4);
    dir.write("next", content);
    BlockMap map;
    ASSERT_TRUE(buildBlockMap(dir.file("next"), map));
    const std::string bytes = encodeBlockMap(map);
    std::string huge = bytes.substr(0, kBlockMapHeaderSize);
    huge[9] = 0x40;  // a file of 2^54 bytes: more blocks than a map may list
    map.gzSize = 1000;
    const std::string largerThanTheGz = encodeBlockMap(map);
    const std::string ok = "HTTP/1.0 200 OK\r\n";
    const struct {
        const char* name;
        std::string head;
        std::string body;
        // Bytes sent after the body until the client hangs up.
        bool endless;
        bool gzLine;
        std::string why;
    } cases[] = {
        {"a header naming more than a map may hold", ok + "\r\n", huge, true, false, "damaged block map"},
        {"more bytes than the header names", ok + "\r\n", bytes + "x", false, false, "damaged block map"},
        {"a length other than the header's", ok + "Content-Length: " + std::to_string(bytes.size() + 5) + "\r\n\r\n",
         bytes + "12345", false, false, "damaged block map"},
        {"a map larger than the .gz beside the file", ok + "\r\n", largerThanTheGz, true, true,
         "the block map alone would cost more than the .gz"},
        {"a map an older kib-manifest wrote", ok + "\r\n", "KIBBLKM1" + std::string(40, '\0'), true, false,
         "a block map of another format version"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&c](ScriptedConnection& connection) {
            if (!connection.send(c.head + c.body)) return;
            while (c.endless && connection.send(std::string(64 * 1024, 'j'))) {
            }
        });
        ASSERT_TRUE(server.started());
        dir.write("big", patternBytes(content.size(), 5));
        DownloadRequest request;
        request.localPath = dir.file("big");
        request.url = server.url(c.gzLine ? "/big.gz" : "/big");
        request.shortcut = deltaPlanFor(server.url("/big"), request.localPath, map.md5);
        request.shortcut.resultPath = dir.file("big.staged");
        HttpOptions options;
        options.stallTimeoutMs = 2000;
        EXPECT_FALSE(tryDeltaUpdate(request, options));
        EXPECT_EQ(request.note, "\t\t\tDelta update of " + request.localPath + " not possible (" + c.why +
                                    "); fetching it whole\n");
        // Only the map was asked for.
        EXPECT_EQ(server.targets(), std::vector<std::string>{"/big.kib-blocks"});
    }
}
