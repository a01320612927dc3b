// Delta updates of a large file by the real updater against a real nginx, published by the
// real kib-manifest: only the changed blocks travel, and every way the shortcut can fail ends
// in the whole file, fetched in the same run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "e2e/update_harness.h"
#include "support/lighttpd_server.h"
#include "support/scripted_server.h"
#include "support/squid_proxy.h"
#include "support/test_ca.h"

namespace {

const std::string kBig = "data/big.pak";

// Text-like, so that kib-manifest keeps a .gz copy beside the plain one.
std::string records(size_t count, int version) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += "record " + std::to_string(i * 7919 % 100003) + " of version " + std::to_string(version % 3) + "\n";
    return text;
}

// Publishes `release` with kib-manifest into the server's "release/" (maps for files of 64 KiB on),
// its files listed under `base`.
void publishWithTool(const UpdateServer& server, const Files& release, const std::vector<std::string>& options,
                     const std::string& base) {
    TempDir rel, out;
    for (const auto& [path, content] : release) rel.write(path, content);
    std::vector<std::string> argv = {KIB_MANIFEST_PATH, "-q", "--delta-min-size", "64k", "--manifest-name", "manifest",
                                     "-o", out.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {rel.path(), server.url(base)});
    const ProcessResult result = runProcess(argv);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out.path()))
        if (entry.is_regular_file()) {
            const std::string relative = std::filesystem::relative(entry.path(), out.path()).string();
            server.put("release/" + relative, readFileBytes(entry.path().string()));
        }
}

// Bytes nginx sent for requests whose path starts with `prefix`, from the access log.
uint64_t bytesServed(const UpdateServer& server, const std::string& prefix) {
    uint64_t total = 0;
    for (const std::string& line : server.accessLogLines()) {
        const size_t request = line.find("\"GET " + prefix);
        if (request == std::string::npos) continue;
        const size_t close = line.find('"', request + 1);
        unsigned status = 0;
        unsigned long long bytes = 0;
        if (std::sscanf(line.c_str() + close + 1, " %u %llu", &status, &bytes) == 2) total += bytes;
    }
    return total;
}

// True when nginx answered a plain GET of the file (or its .gz) with the whole of it.
bool fetchedWhole(const UpdateServer& server, const std::string& path) {
    for (const std::string& line : server.accessLogLines())
        for (const std::string& asked : {path, path + ".gz"})
            if (line.find("\"GET " + asked + " HTTP/1.") != std::string::npos && line.find("\" 200 ") != std::string::npos)
                return true;
    return false;
}

bool logHas(const std::vector<std::string>& log, const std::string& start) {
    return std::any_of(log.begin(), log.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// How the updater reaches the files: the Range requests travel the same way. Scripted: a
// scripted server serves nginx's folder, answering Range requests as the case says; Lighttpd:
// lighttpd serves it (it honours Range only in HTTP/1.1 requests); Http2: nginx over HTTPS
// offering HTTP/2, where the ranges are streams.
enum class Route { Direct, Https, Http2, Redirected, Proxy, Scripted, Lighttpd };

}  // namespace

TEST(DeltaUpdate, FetchesOnlyChangedBlocksOrFallsBackToTheWholeFile) {
    const std::string old = records(50000, 1);
    std::string next = old;
    next.insert(10000, std::string(4096, 'i'));
    next.replace(next.size() / 2, 30000, records(1500, 2).substr(0, 30000));
    const Files release = {{"kib.exe", kGameScript}, {kBig, next}};
    // A byte the delta update fetches, wrong in the server's plain copy.
    std::string damagedInTheChange = next;
    damagedInTheChange[next.size() / 2 + 100] ^= 1;
    // Local copies that share nothing with the new version, and a third of it.
    const std::string unrelated = patternBytes(old.size(), 99);
    const std::string aThird = next.substr(0, next.size() / 3) + patternBytes(next.size() - next.size() / 3, 98);
    const std::string delta = "\t\t\tDelta update of " + kBig + ": ";
    const std::string notPossible = "\t\t\tDelta update of " + kBig + " not possible (";

    const struct {
        const char* name;
        std::string serverConfig;
        std::vector<std::string> toolOptions;
        // Replace the published map and the plain copy, when not empty.
        std::string map;
        std::string plain;
        std::string logLine;
        bool delta;
        Route route = Route::Direct;
        RangeAnswer ranges = RangeAnswer::AsAsked;
        // The player's copy, when not the old version.
        std::string local = "";
    } cases[] = {
        {"a .gz line, rebuilt from the plain file", "", {}, "", "", "\t\t\tDelta update of " + kBig + ": ", true},
        {"a plain line", "", {"--no-compress"}, "", "", "\t\t\tDelta update of " + kBig + ": ", true},
        {"one range per request", "max_ranges 1;", {}, "", "", "\t\t\tDelta update of " + kBig + ": ", true},
        {"server ignores Range", "max_ranges 0;", {}, "", "",
         "\t\t\tDelta update of " + kBig + " not possible (the server ignores Range requests); fetching it whole", false},
        {"damaged map", "", {}, "KIBBLKM1 but nothing sensible", "",
         "\t\t\tDelta update of " + kBig + " not possible (damaged block map); fetching it whole", false},
        {"plain copy of another version", "", {}, "", records(50000, 2),
         "\t\t\tDelta update of " + kBig + " not possible (a Range request failed); fetching it whole", false},
        {"plain copy damaged in place", "", {}, "", damagedInTheChange,
         "\t\t\tDelta update of " + kBig + " not possible (the result does not match its digest); fetching it whole",
         false},
        {"no map", "", {"--no-delta", "--no-compress"}, "", "",
         "\t\t\tDelta update of " + kBig + " not possible (no block map on the server); fetching it whole", false},
        {"over HTTPS", "", {}, "", "", "\t\t\tDelta update of " + kBig + ": ", true, Route::Https},
        {"over HTTP/2", "", {}, "", "", delta, true, Route::Http2},
        {"from lighttpd", "", {}, "", "", delta, true, Route::Lighttpd},
        {"the files behind a redirect", "location /moved/ { rewrite ^/moved/(.*)$ /release/$1 redirect; }", {}, "", "",
         "\t\t\tDelta update of " + kBig + ": ", true, Route::Redirected},
        {"through a proxy", "", {}, "", "", "\t\t\tDelta update of " + kBig + ": ", true, Route::Proxy},
        {"a server that answers only the first of several ranges", "", {}, "", "", delta, true, Route::Scripted,
         RangeAnswer::FirstOnly},
        {"a server that answers more than was asked", "", {}, "", "",
         notPossible + "the server ignores Range requests); fetching it whole", false, Route::Scripted,
         RangeAnswer::ToTheEnd},
        {"a local copy that shares nothing: the .gz", "", {}, "", "",
         notPossible + "it would reuse only 0 of " + std::to_string(next.size()) + " bytes); fetching it whole", false,
         Route::Direct, RangeAnswer::AsAsked, unrelated},
        {"ranges that cost more than the .gz", "", {}, "", "", notPossible + "the .gz costs less: ", false, Route::Direct,
         RangeAnswer::AsAsked, aThird},
    };
    TestCa authority;
    ASSERT_TRUE(authority.made()) << authority.error();
    const NginxTls certificate = authority.issue("localhost");
    NginxTls offeringHttp2 = certificate;
    offeringHttp2.http2 = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateServer server(c.serverConfig, c.route == Route::Https   ? certificate
                                            : c.route == Route::Http2 ? offeringHttp2
                                                                      : NginxTls{});
        ASSERT_TRUE(server.started());
        std::unique_ptr<LighttpdServer> lighttpd;
        if (c.route == Route::Lighttpd) {
            lighttpd = std::make_unique<LighttpdServer>(server.root());
            if (!lighttpd->installed()) GTEST_SKIP() << lighttpd->error();
            ASSERT_TRUE(lighttpd->started()) << lighttpd->error();
            server.reachThrough(lighttpd->baseUrl());
        }
        std::unique_ptr<ScriptedServer> scripted;
        if (c.route == Route::Scripted) {
            scripted = std::make_unique<ScriptedServer>(fileServer(server.root(), c.ranges));
            ASSERT_TRUE(scripted->started());
            server.reachThrough(scripted->url("/"));
        }
        publishWithTool(server, release, c.toolOptions, c.route == Route::Redirected ? "moved/" : "release/");
        Environment environment;
        std::unique_ptr<SquidProxy> proxy;
        if (c.route == Route::Https || c.route == Route::Http2)
            environment = {{"SSL_CERT_FILE", authority.certificateFile()}};
        if (c.route == Route::Proxy) {
            proxy = std::make_unique<SquidProxy>();
            if (!proxy->installed()) GTEST_SKIP() << "squid is not installed";
            ASSERT_TRUE(proxy->started()) << proxy->error();
            environment = {{"http_proxy", proxy->proxyUrl()}};
        }
        if (!c.map.empty()) server.put("release/" + kBig + ".kib-blocks", c.map);
        if (!c.plain.empty()) server.put("release/" + kBig, c.plain);
        GameFolder game(server.manifestUrl());
        game.installGame();
        game.write(kBig, c.local.empty() ? old : c.local);

        expectFinishedRun(game, release, environment);
        const std::vector<std::string> log = game.log();
        EXPECT_TRUE(logHas(log, c.logLine)) << ::testing::PrintToString(log);
        // nginx saw no request of the scripted cases, nor of lighttpd's, which answered ranges.
        if (scripted) continue;
        if (lighttpd) {
            lighttpd->stop();
            EXPECT_NE(lighttpd->accessLog().find(" HTTP/1.1\" 206 "), std::string::npos) << lighttpd->accessLog();
            continue;
        }
        if (c.route == Route::Http2) {
            const std::vector<std::string> lines = server.accessLogLines();
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line.find(" HTTP/2.0\" 206 ") != std::string::npos; }));
        }
        // A delta given up before its ranges asks for none.
        if (!c.local.empty()) {
            for (const std::string& line : server.accessLogLines()) EXPECT_EQ(line.find("\" 206 "), std::string::npos) << line;
        }
        // A server that refuses several ranges answers the first request for several with the
        // whole file, which costs what it sends before the updater hangs up; the ranges follow
        // one by one. (A gap asked for alone while the scan runs may come first.)
        const bool refusesSeveral = c.serverConfig == "max_ranges 1;";
        if (!refusesSeveral) {
            EXPECT_EQ(fetchedWhole(server, "/release/" + kBig), !c.delta);
        }
        if (proxy) {
            // The ranges went through the proxy, not around it.
            EXPECT_NE(proxy->accessLog().find("/206 "), std::string::npos) << proxy->accessLog();
        }
        if (c.delta && !refusesSeveral) {
            EXPECT_LT(bytesServed(server, "/release/" + kBig), next.size() / 10);
        }
    }
}
