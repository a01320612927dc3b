// Update runs over HTTPS against nginx with certificates of a private authority that the run
// trusts through SSL_CERT_FILE: the trusted one installs, also behind a redirect from http://,
// and every other one is refused with its reason in the log and nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "e2e/update_harness.h"
#include "support/test_ca.h"

namespace {

using Lines = std::vector<std::string>;

// How the updater reaches the HTTPS server.
enum class Route {
    Direct,
    // update.cfg names a plain http:// server that redirects everything to the HTTPS one.
    FromHttp,
    // The HTTPS server redirects the manifest to a plain http:// server.
    ToHttp,
};

struct HttpsCase {
    const char* name;
    // The DNS name the server's certificate is made for; the updater asks for "localhost".
    const char* madeFor;
    bool byTrustedAuthority;
    bool expired;
    Route route;
    // The start of the log line before the manifest's failure, or empty when the run must finish.
    const char* reason;
    // The server offers HTTP/2 (the updater then takes it); the request lines of a finished run
    // end in this version.
    bool http2 = false;
    const char* version = "HTTP/1.1";
};

const HttpsCase kHttpsCases[] = {
    // Pipelined: many files on each connection, in order.
    {"trusted", "localhost", true, false, Route::Direct, ""},
    // Many files at once on each connection, each on a stream of its own.
    {"trusted, over HTTP/2", "localhost", true, false, Route::Direct, "", true, "HTTP/2.0"},
    {"redirected from http", "localhost", true, false, Route::FromHttp, ""},
    {"untrusted authority", "localhost", false, false, Route::Direct,
     "Manifest: certificate of localhost not trusted (subject CN=localhost, issuer CN=kib other CA)"},
    {"name mismatch", "updates.example", true, false, Route::Direct,
     "Manifest: certificate is not for localhost (subject CN=updates.example)"},
    {"expired", "localhost", true, true, Route::Direct, "Manifest: certificate of localhost expired (subject CN=localhost)"},
    {"redirected to plain http", "localhost", true, false, Route::ToHttp,
     "Manifest: HTTP/1.1 301 Moved Permanently: a redirect from https:// to plain http:// refused: http://127.0.0.1:"},
};

}  // namespace

TEST(HttpsRun, OnlyATrustedValidCertificateForTheNameInstallsAndNeverInPlainText) {
    TestCa trusted("kib test CA"), other("kib other CA");
    ASSERT_TRUE(trusted.made()) << trusted.error();
    ASSERT_TRUE(other.made()) << other.error();
    const Environment trustTheTestCa = {{"SSL_CERT_FILE", trusted.certificateFile()}};
    Files release = {{"kib.exe", kGameScript}, {"data/level.pak", patternBytes(300000, 5)}};
    for (int i = 0; i < 20; ++i) release["data/small/" + std::to_string(i)] = patternBytes(3000 + size_t(i), unsigned(i));
    TempDir plainRoot;
    plainRoot.write("release/manifest", "master:http://127.0.0.1/\n");
    NginxServer plain(plainRoot.path());
    ASSERT_TRUE(plain.started()) << plain.error();

    for (const HttpsCase& test : kHttpsCases) {
        SCOPED_TRACE(test.name);
        NginxTls certificate = (test.byTrustedAuthority ? trusted : other).issue(test.madeFor, test.expired);
        certificate.http2 = test.http2;
        ASSERT_FALSE(certificate.certificateFile.empty()) << trusted.error() << other.error();
        const std::string toPlain = "location = /release/manifest { return 301 " + plain.baseUrl() + "release/manifest; }";
        UpdateServer server(test.route == Route::ToHttp ? toPlain : "", certificate);
        ASSERT_TRUE(server.started());
        server.publish(release);
        ASSERT_EQ(server.manifestUrl().rfind("https://localhost:", 0), 0u);
        std::unique_ptr<NginxServer> redirector;
        std::string manifestUrl = server.manifestUrl();
        if (test.route == Route::FromHttp) {
            redirector = std::make_unique<NginxServer>(
                plainRoot.path(), "return 301 https://localhost:" + std::to_string(server.port()) + "$request_uri;");
            ASSERT_TRUE(redirector->started()) << redirector->error();
            manifestUrl = redirector->baseUrl() + "release/manifest";
        }
        GameFolder game(manifestUrl);
        game.installGame();

        if (*test.reason == '\0') {
            expectFinishedRun(game, release, trustTheTestCa);
            if (test.route != Route::Direct) continue;
            server.stop();
            const std::vector<std::string> log = server.accessLogLines();
            for (const std::string& line : log) EXPECT_NE(line.find(std::string(test.version) + "\" 200"), std::string::npos) << line;
            // More than one request was under way at once on a connection: over HTTP/1.1 nginx
            // marks those it found waiting behind another.
            if (!test.http2) {
                EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                        [](const std::string& line) { return line.find(" p c") != std::string::npos; }));
            }
            continue;
        }
        const UpdaterRun run = expectFailedRun(game, "Could not get manifest", test.reason, trustTheTestCa);
        EXPECT_EQ(run.log.back(), "Failed to download manifest. Reason: 3");
        EXPECT_EQ(run.log.size(), 3u) << ::testing::PrintToString(run.log);
        EXPECT_EQ(run.log.front(), kUnsignedRunLine);
        EXPECT_FALSE(game.exists("data/level.pak"));
        // A refused certificate is refused before anything is asked.
        if (test.route == Route::Direct) {
            EXPECT_EQ(server.requests(), Lines{});
        }
    }
    // The refused redirect was not followed.
    plain.stop();
    EXPECT_EQ(plain.accessLog(), "");
}
