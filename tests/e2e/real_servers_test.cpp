// The real updater against the servers and caches game makers meet beyond their own nginx:
// Apache httpd compressing on the fly, squid as a company's forward proxy and as a cache in
// front of the release, and Python's http.server with names an address must percent-encode.
// Each server is Debian's own, started by the test on a loopback port.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>

#include "e2e/update_harness.h"
#include "support/apache_server.h"
#include "support/python_http_server.h"
#include "support/squid_proxy.h"

namespace {

std::string story(size_t size, unsigned seed) {
    std::string words;
    while (words.size() < size)
        words += "chapter " + std::to_string(seed) + ", line " + std::to_string(words.size() % 7919) +
                 ": the kib walks on\n";
    words.resize(size);
    return words;
}

// Each kind of manifest line, with files that compress well (so on-the-fly compression
// changes them) and one that does not.
const Files kRelease = {
    {"kib.exe", kGameScript},
    {"readme.txt", story(30000, 1)},
    {"data/story.txt", story(100000, 2)},
    {"data/levels.pak", patternBytes(200000, 3)},
    {"data/music.txt", story(300000, 4)},
};
const std::map<std::string, Listing> kListings = {{"readme.txt", Listing::Presence},
                                                  {"data/music.txt", Listing::Compressed}};

// Names that an address must carry percent-encoded; the manifest's own address has a space.
const Files kOddNames = {
    {"kib.exe", kGameScript},
    {"données/été.txt", story(20000, 5)},
    {"données/naïve.bin", patternBytes(5000, 6)},
    {"Ärger/Straße.txt", story(40000, 7)},
};
const std::map<std::string, Listing> kOddListings = {{"Ärger/Straße.txt", Listing::Compressed},
                                                     {"données/naïve.bin", Listing::Presence}};
const char* const kSpacedManifest = "my game/manifest.txt";

// What stands between the updater and the release's nginx in one case.
struct Middle {
    std::unique_ptr<ApacheServer> apache;
    std::unique_ptr<SquidProxy> squid;
    std::unique_ptr<PythonHttpServer> python;
    // Added to the updater's environment.
    Environment environment;
    // The manifest's path on the server, when not the harness's own.
    std::string manifestPath;

    // Why the case cannot run on this machine (its package is missing), or empty.
    std::string missing() const {
        if (apache && !apache->installed()) return apache->error();
        if (squid && !squid->installed()) return squid->error();
        if (python && !python->installed()) return python->error();
        return "";
    }
    // Why a server that is there did not start, or empty.
    std::string failedToStart() const {
        if (apache && !apache->started()) return apache->error();
        if (squid && !squid->started()) return squid->error();
        if (python && !python->started()) return python->error();
        return "";
    }
    // What the servers in the middle saw, for a failure message.
    std::string logs() const {
        return (apache ? "apache:\n" + apache->accessLog() : "") + (squid ? "squid:\n" + squid->accessLog() : "") +
               (python ? "http.server:\n" + python->requestLog() : "");
    }
};

Environment throughProxy(const SquidProxy& squid, const std::string& noProxy = "") {
    return {{"http_proxy", squid.proxyUrl()}, {"no_proxy", noProxy}};
}

struct DeliveryCase {
    const char* name;
    const Files* release;
    const std::map<std::string, Listing>* listings;
    // Starts what the case puts in front of `server` (before the release is published).
    std::function<void(UpdateServer& server, Middle& middle)> setUp;
    // Checks what the servers in the middle saw after the run.
    std::function<void(const UpdateServer& server, const Middle& middle)> check;
};

const DeliveryCase kDeliveryCases[] = {
    {"ApacheCompressingEverything", &kRelease, &kListings,
     [](UpdateServer& server, Middle& middle) {
         middle.apache = std::make_unique<ApacheServer>(server.root(), kApacheForcedCompression);
         if (middle.apache->started()) server.reachThrough(middle.apache->baseUrl());
     },
     [](const UpdateServer&, const Middle& middle) {
         // The case is only worth its name if the server does compress, unasked.
         const ProcessResult probe = runProcess({"curl", "-sS", "-o", "/dev/null", "-D", "-", "--http1.0",
                                                 middle.apache->baseUrl() + "files/readme.txt"});
         EXPECT_NE(probe.out.find("Content-Encoding: gzip"), std::string::npos) << probe.out;
     }},
    // Common in configurations and tutorials: a ".gz" file announced as a compressed transfer of
    // the file without ".gz", which is not what the manifest means by it.
    {"ApacheAnnouncingGzFilesAsContentEncoding", &kRelease, &kListings,
     [](UpdateServer& server, Middle& middle) {
         middle.apache = std::make_unique<ApacheServer>(server.root(), "AddEncoding gzip .gz\n");
         if (middle.apache->started()) server.reachThrough(middle.apache->baseUrl());
     },
     [](const UpdateServer&, const Middle& middle) {
         const ProcessResult probe = runProcess({"curl", "-sS", "-o", "/dev/null", "-D", "-", "--http1.0",
                                                 middle.apache->baseUrl() + "files/data/music.txt.gz"});
         EXPECT_NE(probe.out.find("Content-Encoding: gzip"), std::string::npos) << probe.out;
     }},
    {"ApacheAsThePublishingGuideSaysToSetItUp", &kRelease, &kListings,
     [](UpdateServer& server, Middle& middle) {
         middle.apache = std::make_unique<ApacheServer>(server.root(),
                                                        "SetEnv no-gzip 1\nRemoveEncoding .gz\n"
                                                        "AddType application/gzip .gz\n");
         if (middle.apache->started()) server.reachThrough(middle.apache->baseUrl());
     },
     nullptr},
    {"SquidAsForwardProxy", &kRelease, &kListings,
     [](UpdateServer&, Middle& middle) {
         middle.squid = std::make_unique<SquidProxy>();
         middle.environment = throughProxy(*middle.squid);
     },
     [](const UpdateServer& server, const Middle& middle) {
         const std::string log = middle.squid->accessLog();
         EXPECT_NE(log.find(" GET " + server.manifestUrl()), std::string::npos) << log;
         EXPECT_NE(log.find(" GET " + server.url("files/data/music.txt.gz")), std::string::npos) << log;
     }},
    {"NoProxyBypassesTheProxy", &kRelease, &kListings,
     [](UpdateServer&, Middle& middle) {
         middle.squid = std::make_unique<SquidProxy>();
         middle.environment = throughProxy(*middle.squid, "example.com, 127.0.0.1");
     },
     [](const UpdateServer&, const Middle& middle) {
         EXPECT_EQ(middle.squid->accessLog().find(" GET "), std::string::npos) << middle.squid->accessLog();
     }},
    {"PythonHttpServerWithNonAsciiNamesAndASpace", &kOddNames, &kOddListings,
     [](UpdateServer& server, Middle& middle) {
         middle.python = std::make_unique<PythonHttpServer>(server.root());
         if (middle.python->started()) server.reachThrough(middle.python->baseUrl());
         middle.manifestPath = kSpacedManifest;
     },
     nullptr},
};

// Test names and failure messages show a case by its name.
void PrintTo(const DeliveryCase& c, std::ostream* out) { *out << c.name; }

class ThroughRealServers : public ::testing::TestWithParam<DeliveryCase> {};

}  // namespace

TEST_P(ThroughRealServers, EveryKindOfFileArrivesByteForByte) {
    const DeliveryCase& c = GetParam();
    UpdateServer server;
    ASSERT_TRUE(server.started());
    Middle middle;
    c.setUp(server, middle);
    if (!middle.missing().empty()) GTEST_SKIP() << middle.missing();
    ASSERT_EQ(middle.failedToStart(), "");
    server.publish(*c.release, *c.listings);
    std::string manifestUrl = server.manifestUrl();
    if (!middle.manifestPath.empty()) {
        server.put(middle.manifestPath, server.get("release/manifest"));
        manifestUrl = server.url(middle.manifestPath);
    }

    GameFolder game(manifestUrl);
    expectFinishedRun(game, *c.release, middle.environment);
    if (c.check) c.check(server, middle);
    if (HasFailure()) ADD_FAILURE() << ::testing::PrintToString(game.log()) << "\n" << middle.logs();
}

INSTANTIATE_TEST_SUITE_P(Field, ThroughRealServers, ::testing::ValuesIn(kDeliveryCases),
                         [](const ::testing::TestParamInfo<DeliveryCase>& info) { return std::string(info.param.name); });

namespace {

// A cache in front of the release, and the way the updater reaches through it.
struct CacheCase {
    const char* name;
    // A company's forward proxy (http_proxy) rather than a cache in front of the server.
    bool forwardProxy;
};

void PrintTo(const CacheCase& c, std::ostream* out) { *out << c.name; }

class RepublishedBehindACache : public ::testing::TestWithParam<CacheCase> {};

Files releaseNumber(int number) {
    // Every file changes size too, so no validator could take the new one for the old. A file
    // listed for presence only stays as the player has it, so it does not change.
    Files release = kRelease;
    for (auto& [path, content] : release)
        if (path != "kib.exe" && path != "readme.txt")
            content = story(content.size() + 1000 * size_t(number), unsigned(10 * number));
    return release;
}

}  // namespace

TEST_P(RepublishedBehindACache, TheNextRunGetsTheNewRelease) {
    const CacheCase& c = GetParam();
    UpdateServer server;
    ASSERT_TRUE(server.started());
    std::unique_ptr<SquidProxy> squid =
        c.forwardProxy ? std::make_unique<SquidProxy>() : std::make_unique<SquidProxy>(server.port());
    if (!squid->installed()) GTEST_SKIP() << squid->error();
    ASSERT_TRUE(squid->started()) << squid->error();
    const Environment environment = c.forwardProxy ? throughProxy(*squid) : Environment{};
    if (!c.forwardProxy) server.reachThrough(squid->baseUrl());

    const Files first = releaseNumber(1);
    server.publish(first, kListings);
    GameFolder game(server.manifestUrl());
    expectFinishedRun(game, first, environment);

    // The same addresses now hold other bytes, and the cache still hands out the old ones.
    const Files second = releaseNumber(2);
    server.publish(second, kListings);
    std::vector<std::string> probe = {"curl", "-sS", "--http1.0", server.url("files/data/story.txt")};
    if (c.forwardProxy) probe.insert(probe.begin() + 1, {"-x", squid->proxyUrl()});
    ASSERT_TRUE(runProcess(probe).out == first.at("data/story.txt"))
        << "the cache does not serve the first release's copy: " << squid->accessLog();

    std::filesystem::remove(game.file("game-started"));
    expectFinishedRun(game, second, environment);
    if (HasFailure()) ADD_FAILURE() << ::testing::PrintToString(game.log()) << "\n" << squid->accessLog();
}

INSTANTIATE_TEST_SUITE_P(Field, RepublishedBehindACache,
                         ::testing::Values(CacheCase{"SquidInFrontOfTheServer", false},
                                           CacheCase{"SquidAsForwardProxy", true}),
                         [](const ::testing::TestParamInfo<CacheCase>& info) { return std::string(info.param.name); });
