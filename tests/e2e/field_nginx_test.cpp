// The real updater against nginx set up as hosts set it up: redirects from "return" and
// "rewrite", and ranges that continue a download an earlier run left cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "e2e/update_harness.h"

namespace {

using Lines = std::vector<std::string>;

bool hasLine(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The status and byte count nginx logged for each request of `path` ("GET <path> HTTP/1.1").
std::vector<std::string> statusesAndBytes(const UpdateServer& server, const std::string& path) {
    std::vector<std::string> found;
    const std::string request = "\"GET " + path + " HTTP/1.1\" ";
    for (const std::string& line : server.accessLogLines()) {
        const size_t at = line.find(request);
        if (at == std::string::npos) continue;
        const std::string rest = line.substr(at + request.size());
        found.push_back(rest.substr(0, rest.find(" \"")));
    }
    return found;
}

}  // namespace

TEST(FieldNginx, RedirectsOfReturnAndRewriteAreFollowed) {
    UpdateServer server(
        "    location = /old/manifest { return 302 /release/manifest$is_args$args; }\n"
        "    location /oldfiles/ { rewrite ^/oldfiles/(.*)$ /files/$1 permanent; }\n"
        "    location /relfiles/ { absolute_redirect off; rewrite ^/relfiles/(.*)$ /oldfiles/$1 redirect; }\n");
    ASSERT_TRUE(server.started());
    const Files release = {{"kib.exe", kGameScript}, {"data/level.pak", patternBytes(200000, 5)}};
    server.publish(release);
    std::string manifest = server.get("release/manifest");
    manifest.replace(0, manifest.find('\n'), "master:" + server.url("relfiles/"));
    server.put("release/manifest", manifest);

    GameFolder game(server.url("old/manifest"));
    game.installGame();
    expectFinishedRun(game, release);
    const Lines log = game.log();
    // nginx writes the whole address into Location unless told not to.
    EXPECT_TRUE(hasLine(log, "Manifest: HTTP/1.1 302 Moved Temporarily: redirected to " +
                                 server.url("release/manifest?ver=0.3.0")))
        << ::testing::PrintToString(log);
    EXPECT_TRUE(hasLine(log, "\t\tdata/level.pak: HTTP/1.1 302 Moved Temporarily: redirected to " +
                                 server.url("oldfiles/data/level.pak")))
        << ::testing::PrintToString(log);
    EXPECT_TRUE(hasLine(log, "\t\tdata/level.pak: HTTP/1.1 301 Moved Permanently: redirected to " +
                                 server.url("files/data/level.pak")))
        << ::testing::PrintToString(log);
}

TEST(FieldNginx, ACutDownloadIsContinuedWithARange) {
    UpdateServer server;
    ASSERT_TRUE(server.started());
    const std::string big = patternBytes(2 << 20, 11);
    const Files release = {{"kib.exe", kGameScript}, {"data/big.bin", big}};
    server.publish(release);
    struct Case {
        const char* name;
        // What an earlier run left in "data/big.bin.part".
        std::string part;
        // nginx's status and byte count for each request of the file.
        std::vector<std::string> transfers;
        std::string logLine;
    };
    const std::string size = std::to_string(big.size());
    const Case cases[] = {
        {"the first megabyte", big.substr(0, 1 << 20), {"206 " + std::to_string(big.size() - (1 << 20))},
         "\t\tdata/big.bin: resumed at byte 1048576"},
        {"longer than the file", big + "tail", {"416 " , "200 " + size},
         "\t\tdata/big.bin: HTTP/1.1 416 Requested Range Not Satisfiable to a range request: fetched from the start"},
        {"the start of another file", patternBytes(1 << 20, 12), {"206 " + std::to_string(big.size() - (1 << 20)), "200 " + size},
         "\t\tFetching data/big.bin once more, from the start and past any cache"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GameFolder game(server.manifestUrl());
        game.installGame();
        game.write("data/big.bin.part", c.part);
        const size_t before = statusesAndBytes(server, "/files/data/big.bin").size();
        expectFinishedRun(game, release);
        std::vector<std::string> transfers = statusesAndBytes(server, "/files/data/big.bin");
        transfers.erase(transfers.begin(), transfers.begin() + long(before));
        // nginx's byte count of a 416 is its error page: only the status matters there.
        for (std::string& transfer : transfers)
            if (transfer.compare(0, 4, "416 ") == 0) transfer = "416 ";
        EXPECT_EQ(transfers, c.transfers);
        EXPECT_TRUE(hasLine(game.log(), c.logLine)) << ::testing::PrintToString(game.log());
    }
}
