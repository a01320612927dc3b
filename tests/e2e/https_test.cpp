// Update runs over HTTPS against nginx with certificates of a private authority that the run
// trusts through SSL_CERT_FILE: the trusted one installs, every other one is refused with its
// reason in the log and nothing written.
#include <gtest/gtest.h>

#include "e2e/update_harness.h"
#include "support/test_ca.h"

namespace {

using Lines = std::vector<std::string>;

struct CertificateCase {
    const char* name;
    // The DNS name the server's certificate is made for; the updater asks for "localhost".
    const char* madeFor;
    bool byTrustedAuthority;
    bool expired;
    // The log line behind the manifest's failure, or empty when the run must finish.
    const char* reason;
};

const CertificateCase kCertificateCases[] = {
    {"trusted", "localhost", true, false, ""},
    {"untrusted authority", "localhost", false, false,
     "\tcertificate of localhost not trusted (subject CN=localhost, issuer CN=kib other CA)"},
    {"name mismatch", "updates.example", true, false, "\tcertificate is not for localhost (subject CN=updates.example)"},
    {"expired", "localhost", true, true, "\tcertificate of localhost expired (subject CN=localhost)"},
};

}  // namespace

TEST(HttpsRun, OnlyATrustedValidCertificateForTheNameInstalls) {
    TestCa trusted("kib test CA"), other("kib other CA");
    ASSERT_TRUE(trusted.made()) << trusted.error();
    ASSERT_TRUE(other.made()) << other.error();
    const Environment trustTheTestCa = {{"SSL_CERT_FILE", trusted.certificateFile()}};
    const Files release = {{"kib.exe", kGameScript}, {"data/level.pak", patternBytes(300000, 5)}};

    for (const CertificateCase& test : kCertificateCases) {
        SCOPED_TRACE(test.name);
        const NginxTls certificate = (test.byTrustedAuthority ? trusted : other).issue(test.madeFor, test.expired);
        ASSERT_FALSE(certificate.certificateFile.empty()) << trusted.error() << other.error();
        UpdateServer server("", certificate);
        ASSERT_TRUE(server.started());
        server.publish(release);
        ASSERT_EQ(server.manifestUrl().rfind("https://localhost:", 0), 0u);
        GameFolder game(server.manifestUrl());
        game.installGame();

        if (*test.reason == '\0') {
            expectFinishedRun(game, release, trustTheTestCa);
            continue;
        }
        const UpdaterRun run =
            expectFailedRun(game, "Could not get manifest", "Failed to download manifest. Reason: 3", trustTheTestCa);
        EXPECT_EQ(run.log, (Lines{"Failed to download manifest. Reason: 3", test.reason}));
        EXPECT_FALSE(game.exists("data/level.pak"));
        // The refusal came before the request: nothing was asked for.
        EXPECT_EQ(server.requests(), Lines{});
    }
}
