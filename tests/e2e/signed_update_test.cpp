// Signed manifests end to end: releases signed by Debian's minisign install with the real
// updater, and every manifest that cannot be trusted is refused with the folder left as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>

#include <sodium.h>

#include <cstring>

#include "e2e/update_harness.h"
#include "support/digest.h"
#include "update/own_files.h"
#include "util/minisign_files.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kPublicKey = "assets/updater/update.pub";
const std::string kTrustState = "assets/updater/update.trust";
const int64_t kInstalled = 1796640643;

std::string comment(int64_t timestamp, const std::string& more = "", const std::string& file = "manifest") {
    return "timestamp:" + std::to_string(timestamp) + "\tfile:" + file + more;
}

bool logHas(const UpdaterRun& run, const std::string& line) {
    for (const std::string& logged : run.log)
        if (logged.compare(0, line.size(), line) == 0) return true;
    return false;
}

// minisign's password protection of an unencrypted secret key file: the key id, key and its
// checksum XORed with scrypt's output. Light scrypt limits keep the test fast; minisign reads
// them from the file as it reads its own.
std::string encryptSecretKey(const std::string& unencrypted, const std::string& password) {
    const std::string line = splitLines(unencrypted).at(1);
    std::vector<uint8_t> raw(158);
    EXPECT_TRUE(fromBase64(line, raw.data(), raw.size()));
    const uint64_t opsLimit = 1 << 16, memLimit = 1 << 24;
    std::memcpy(&raw[2], "Sc", 2);
    randombytes_buf(&raw[6], 32);
    for (int i = 0; i < 8; ++i) {
        raw[38 + i] = uint8_t(opsLimit >> (8 * i));
        raw[46 + i] = uint8_t(memLimit >> (8 * i));
    }
    // The checksum a password protects: BLAKE2b-256 of "Ed", the key id and the key.
    uint8_t material[74];
    std::memcpy(material, "Ed", 2);
    std::memcpy(material + 2, &raw[54], 72);
    crypto_generichash(&raw[126], 32, material, sizeof material, nullptr, 0);
    uint8_t stream[104];
    EXPECT_EQ(crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, password.data(), password.size(), &raw[6],
                                                 opsLimit, memLimit),
              0);
    for (size_t i = 0; i < sizeof stream; ++i) raw[54 + i] ^= stream[i];
    return "untrusted comment: minisign encrypted secret key\n" + toBase64(raw.data(), raw.size()) + "\n";
}

class SignedUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started());
        game.installGame();
        // The release ships its own key, so an update can carry a new one.
        release = {{"kib.exe", kGameScript}, {"data/level.pak", patternBytes(50000, 7)}, {kPublicKey, key.publicKey()}};
        game.write(kPublicKey, key.publicKey());
        server.publish(release);
    }

    // `release` with the state an accepted manifest of `timestamp` leaves.
    Files installedWith(int64_t timestamp) const {
        Files files = release;
        files[kTrustState] = "timestamp:" + std::to_string(timestamp) + "\n";
        return files;
    }

    SigningKey key;
    UpdateServer server;
    GameFolder game{server.manifestUrl()};
    Files release;
};

}  // namespace

TEST_F(SignedUpdate, SignedWithMinisignInstallsThenIsUpToDate) {
    server.sign(key);
    const UpdaterRun first = game.run();
    EXPECT_EQ(first.process.err, box("Done!", "It's a miracle! The update was a success!"));
    EXPECT_TRUE(logHas(first, "Manifest signature verified: key ID ")) << ::testing::PrintToString(first.log);
    EXPECT_FALSE(logHas(first, kUnsignedRunLine));
    EXPECT_EQ(server.requests()[1], "GET /release/manifest.minisig?ver=0.3.0 HTTP/1.1");
    const std::string state = game.read(kTrustState);
    ASSERT_EQ(state.rfind("timestamp:", 0), 0u) << state;
    const int64_t signedAt = std::stoll(state.substr(10));
    EXPECT_LE(std::abs(signedAt - int64_t(std::time(nullptr))), 120);
    ASSERT_TRUE(game.gameStarted());
    EXPECT_EQ(differences(game.files(), game.finishedFolder(installedWith(signedAt))), Lines{});

    // The same release again, now with the legacy kind of signature and the same timestamp.
    std::filesystem::remove(game.file("game-started"));
    server.sign(key, comment(signedAt), true);
    const UpdaterRun again = game.run();
    EXPECT_EQ(again.process.err, box("Up to date!", "Everything is up to date!"));
    EXPECT_TRUE(game.gameStarted());
    EXPECT_EQ(game.read(kTrustState), state);
}

TEST_F(SignedUpdate, KibManifestSignaturesVerifyWithMinisign) {
    TempDir maker;
    maker.write("rel/kib.exe", kGameScript);
    maker.write("rel/data/level.pak", patternBytes(50000, 9));
    maker.write("rel/config/settings.ini", "volume=3\n");
    auto publish = [&](const std::vector<std::string>& signing, const Environment& environment = {}) {
        std::vector<std::string> argv = {KIB_MANIFEST_PATH, "-q", "-o", server.file("release"), "--manifest-name",
                                         "manifest", "--presence", "config/*.ini"};
        argv.insert(argv.end(), signing.begin(), signing.end());
        argv.insert(argv.end(), {maker.file("rel"), server.url("release/")});
        ProcessOptions options;
        options.setEnv = environment;
        options.unsetEnv = {"KIB_MANIFEST_KEY_PASSWORD"};
        return runProcess(argv, options);
    };
    auto minisignVerifies = [&](const std::string& publicKeyPath, const std::string& file = "release/manifest") {
        return runProcess({"minisign", "-V", "-p", publicKeyPath, "-m", server.file(file)});
    };

    // A key made by kib-manifest, and a password-protected one in minisign's format.
    const ProcessResult made = runProcess({KIB_MANIFEST_PATH, "--generate-key", maker.file("kib")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_NE(made.out.find("assets/updater/update.pub"), std::string::npos) << made.out;
    EXPECT_EQ(std::filesystem::status(maker.file("kib.key")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    maker.write("pw.pub", key.publicKey());
    maker.write("pw.key", encryptSecretKey(readFileBytes(key.secretKeyPath()), "pass"));
    // minisign itself takes the password-protected key (the password on its standard input).
    const ProcessResult minisignSigns = runProcess(
        {"sh", "-c", "echo pass | minisign -S -s '" + maker.file("pw.key") + "' -m '" + maker.file("pw.pub") + "'"});
    EXPECT_EQ(minisignSigns.exitCode, 0) << minisignSigns.err;

    ProcessResult published = publish({"--sign", maker.file("kib.key"), "--expires-in", "30"});
    ASSERT_EQ(published.exitCode, 0) << published.err;
    const ProcessResult verified = minisignVerifies(maker.file("kib.pub"));
    EXPECT_EQ(verified.exitCode, 0) << verified.err;
    EXPECT_NE(verified.out.find("\tfile:manifest\texpires:"), std::string::npos) << verified.out;
    // The first copies of presence-only files are vouched for beside it, signed alike.
    const ProcessResult listVerified = minisignVerifies(maker.file("kib.pub"), "release/manifest.presence.md5");
    EXPECT_EQ(listVerified.exitCode, 0) << listVerified.err;
    EXPECT_NE(listVerified.out.find("\tfile:manifest.presence.md5\texpires:"), std::string::npos) << listVerified.out;
    EXPECT_EQ(server.get("release/manifest.presence.md5"),
              md5OfBuffer("volume=3\n", 9) + "  config/settings.ini\n");

    const ProcessResult wrongPassword =
        publish({"--sign", maker.file("pw.key")}, {{"KIB_MANIFEST_KEY_PASSWORD", "wrong"}});
    EXPECT_EQ(wrongPassword.exitCode, 1);
    EXPECT_NE(wrongPassword.err.find("wrong password"), std::string::npos) << wrongPassword.err;
    published = publish({"--sign", maker.file("pw.key")}, {{"KIB_MANIFEST_KEY_PASSWORD", "pass"}});
    ASSERT_EQ(published.exitCode, 0) << published.err;
    EXPECT_EQ(minisignVerifies(maker.file("pw.pub")).exitCode, 0);

    // The updater takes what kib-manifest signed.
    game.write(kPublicKey, maker.read("pw.pub"));
    const UpdaterRun run = game.run();
    EXPECT_EQ(run.process.err, box("Done!", "It's a miracle! The update was a success!"));
    EXPECT_EQ(game.read("data/level.pak"), maker.read("rel/data/level.pak"));
    EXPECT_EQ(game.read("config/settings.ini"), "volume=3\n");

    // A release signed with a wrong clock (year 2100) was taken, and every release signed with
    // the right time since is older. kib-manifest signs ahead of its clock only when told to,
    // so that a publisher can go on from the timestamp players hold.
    const Environment password = {{"KIB_MANIFEST_KEY_PASSWORD", "pass"}};
    ASSERT_TRUE(game.gameStarted());
    std::filesystem::remove(game.file("game-started"));
    game.write(kTrustState, "timestamp:4102444800\n");
    ASSERT_EQ(publish({"--sign", maker.file("pw.key")}, password).exitCode, 0);
    expectFailedRun(game, "Could not verify manifest", "Manifest older than the installed release: ");
    const ProcessResult ahead = publish({"--sign", maker.file("pw.key"), "--timestamp", "4102444801"}, password);
    EXPECT_EQ(ahead.exitCode, 2);
    EXPECT_NE(ahead.err.find("lies ahead of this machine's clock"), std::string::npos) << ahead.err;
    published = publish({"--sign", maker.file("pw.key"), "--timestamp", "4102444801", "--allow-future-timestamp"},
                        password);
    ASSERT_EQ(published.exitCode, 0) << published.err;
    EXPECT_EQ(game.run().process.err, box("Up to date!", "Everything is up to date!"));
    EXPECT_EQ(game.read(kTrustState), "timestamp:4102444801\n");
}

TEST_F(SignedUpdate, UntrustworthyManifestsAreRefusedAndChangeNothing) {
    server.sign(key, comment(kInstalled));
    expectFinishedRun(game, installedWith(kInstalled));
    std::filesystem::remove(game.file("game-started"));
    // A newer release the updater must not take unless its manifest holds.
    const Files newer = {{"kib.exe", kGameScript}, {"data/level.pak", patternBytes(50000, 8)}, {kPublicKey, key.publicKey()}};
    server.publish(newer);
    const std::string genuine = server.get("release/manifest");
    const int64_t next = kInstalled + 10;

    SigningKey otherKey;
    TempDir outside;
    outside.write("target.txt", "someone else's file\n");
    struct Refusal {
        const char* name;
        // Puts the manifest and its signature (or not) on the server.
        std::function<void()> serve;
        std::string logLine;
        // For a signature that could not be fetched: why, logged before logLine.
        std::string note = "";
        // Puts back what serve changed in the game's folder.
        std::function<void()> restore = nullptr;
    };
    const std::string keyFile = game.file(kPublicKey), trustFile = game.file(kTrustState);
    TempDir elsewhere;
    const std::string aside = elsewhere.file("aside");
    // Something other than a regular file at `path`, the file itself kept aside for restore.
    auto replaceBy = [&](const std::string& path, const std::function<void()>& make) {
        return [&, path, make] {
            server.sign(key, comment(next));
            std::filesystem::rename(path, aside);
            make();
        };
    };
    auto putBack = [&](const std::string& path) {
        return [&, path] {
            std::filesystem::remove_all(path);
            std::filesystem::rename(aside, path);
        };
    };
    const std::string keyUnreadable = "Public key assets/updater/update.pub unreadable";
    const std::vector<Refusal> refusals = {
        {"forged line",
         [&] {
             server.sign(key, comment(next));
             server.put("release/manifest", genuine + "evil.exe:" + std::string(32, 'e') + "\n");
         },
         "Manifest signature invalid: it does not match the manifest"},
        {"missing signature", [&] { server.remove("release/manifest.minisig"); },
         "Manifest signature missing: " + server.url("release/manifest.minisig?ver=0.3.0") +
             " could not be fetched. Reason: 3",
         "Manifest signature: HTTP/1.1 404 "},
        {"endless signature", [&] { server.put("release/manifest.minisig", patternBytes(100000)); },
         "Manifest signature missing: " + server.url("release/manifest.minisig?ver=0.3.0") +
             " could not be fetched. Reason: 3",
         "Manifest signature: more than "},
        {"another key", [&] { server.sign(otherKey, comment(next)); }, "Manifest signed by another key: key ID "},
        {"older release after a newer one", [&] { server.sign(key, comment(kInstalled - 1)); },
         "Manifest older than the installed release: timestamp 1796640642 (2026-12-07 10:50:42 UTC), installed "
         "1796640643 (2026-12-07 10:50:43 UTC)"},
        {"expired", [&] { server.sign(key, comment(next, "\texpires:1000000000")); },
         "Manifest expired on 2001-09-09 01:46:40 UTC (expires:1000000000)"},
        {"trusted comment rewritten",
         [&] {
             server.sign(key, comment(next, "\texpires:1000000000"));
             std::string signature = server.get("release/manifest.minisig");
             signature.replace(signature.find("\texpires:1000000000"), 19, "\texpires:9000000000");
             server.put("release/manifest.minisig", signature);
         },
         "Manifest signature invalid: its trusted comment was not signed with it"},
        {"no timestamp", [&] { server.sign(key, "file:manifest"); },
         "Manifest signature malformed: no timestamp in its trusted comment (file:manifest)"},
        {"malformed", [&] { server.put("release/manifest.minisig", "untrusted comment: x\nnot base64\n"); },
         "Manifest signature malformed: not four lines"},
        // A signature holds over bytes: the name it was made for must be the one asked for.
        {"the beta channel's release at the stable address",
         [&] {
             server.put("release/beta", genuine);
             server.sign(key, "", false, "release/beta");
             server.put("release/manifest.minisig", server.get("release/beta.minisig"));
         },
         "Manifest signed for another file: file:beta, asked for manifest"},
        {"no file name", [&] { server.sign(key, "timestamp:" + std::to_string(next)); },
         "Manifest signature malformed: no file name in its trusted comment (timestamp:" + std::to_string(next) + ")"},
        // Whatever stands at the key's name makes the run signed: only "no such file" does not.
        {"key is a folder", replaceBy(keyFile, [&] { std::filesystem::create_directory(keyFile); }), keyUnreadable, "",
         putBack(keyFile)},
        {"key is a link to a key", replaceBy(keyFile, [&] { std::filesystem::create_symlink(aside, keyFile); }),
         keyUnreadable, "", putBack(keyFile)},
        {"key is a pipe", replaceBy(keyFile, [&] { ASSERT_EQ(mkfifo(keyFile.c_str(), 0644), 0); }), keyUnreadable, "",
         putBack(keyFile)},
        {"trust state is a link, the release older",
         [&] {
             replaceBy(trustFile, [&] { std::filesystem::create_symlink(aside, trustFile); })();
             server.sign(key, comment(kInstalled - 1));
         },
         "Trust state assets/updater/update.trust unreadable", "", putBack(trustFile)},
        {"a genuine release, and a link at the trust state's temporary name",
         [&] {
             server.sign(key, comment(next));
             std::filesystem::create_symlink(outside.file("target.txt"), game.file(kTrustState + ".part"));
         },
         "Could not record the manifest's timestamp in " + kTrustState, "",
         [&] { std::filesystem::remove(game.file(kTrustState + ".part")); }},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        server.put("release/manifest", genuine);
        refusal.serve();
        Files before = game.files();
        const UpdaterRun run = expectFailedRun(game, "Could not verify manifest", refusal.logLine);
        EXPECT_FALSE(logHas(run, "Manifest obtained. Parsing.")) << ::testing::PrintToString(run.log);
        if (!refusal.note.empty()) {
            EXPECT_TRUE(logHas(run, refusal.note)) << ::testing::PrintToString(run.log);
        }
        Files after = game.files();
        before.erase("logs/updater.log");
        after.erase("logs/updater.log");
        EXPECT_EQ(differences(after, before), Lines{});
        if (refusal.restore) refusal.restore();
    }

    EXPECT_EQ(outside.read("target.txt"), "someone else's file\n");

    // The folder still takes the genuine newer release.
    server.put("release/manifest", genuine);
    server.sign(key, comment(next));
    Files expected = newer;
    expected[kTrustState] = "timestamp:" + std::to_string(next) + "\n";
    expectFinishedRun(game, expected);
}

TEST_F(SignedUpdate, PresenceFilesFirstCopiesNeedTheirSignedDigests) {
    const std::string settings = "config/settings.ini", list = "release/manifest.presence.md5";
    release[settings] = "volume=3\n";
    // As a publisher without kib-manifest does it: md5sum and minisign.
    auto publishSigned = [&] {
        server.publish(release, {{settings, Listing::Presence}});
        server.sign(key, comment(kInstalled));
        server.listPresenceDigests({settings});
        server.sign(key, comment(kInstalled, "", "manifest.presence.md5"), false, list);
    };
    publishSigned();
    const UpdaterRun installed = game.run();
    EXPECT_EQ(installed.process.err, box("Done!", "It's a miracle! The update was a success!"));
    EXPECT_TRUE(logHas(installed, "Presence digests signature verified: key ID ")) << ::testing::PrintToString(installed.log);
    EXPECT_EQ(game.read(settings), release[settings]);
    ASSERT_TRUE(game.gameStarted());

    // A copy the player has (and changed) is theirs: the list is not even asked for.
    std::filesystem::remove(game.file("game-started"));
    game.write(settings, "volume=11\n");
    const size_t requestsBefore = server.requests().size();
    EXPECT_EQ(game.run().process.err, box("Up to date!", "Everything is up to date!"));
    EXPECT_EQ(server.requests(requestsBefore), (Lines{"GET /release/manifest?ver=0.3.0 HTTP/1.1",
                                                      "GET /release/manifest.minisig?ver=0.3.0 HTTP/1.1"}));
    EXPECT_EQ(game.read(settings), "volume=11\n");
    ASSERT_TRUE(game.gameStarted());
    std::filesystem::remove(game.file("game-started"));

    const std::string notVouched = "\tconfig/settings.ini is missing and no signed digest vouches for its first copy";
    struct Case {
        const char* name;
        std::function<void()> serve;
        std::string failure;
        std::string logLine;
    };
    const std::vector<Case> cases = {
        {"no list", [&] { server.remove(list); }, "Could not verify config/settings.ini", notVouched},
        {"list unsigned", [&] { server.remove(list + ".minisig"); }, "Could not verify config/settings.ini",
         "Presence digests signature missing: " + server.url(list + ".minisig?ver=0.3.0") + " could not be fetched"},
        {"another channel's list",
         [&] { server.sign(key, comment(kInstalled, "", "beta.presence.md5"), false, list); },
         "Could not verify config/settings.ini",
         "Presence digests signed for another file: file:beta.presence.md5, asked for manifest.presence.md5"},
        {"an older release's list", [&] { server.sign(key, comment(kInstalled - 1, "", "manifest.presence.md5"), false, list); },
         "Could not verify config/settings.ini", "Presence digests older than the installed release: "},
        {"list without the file",
         [&] {
             server.listPresenceDigests({"kib.exe"});
             server.sign(key, comment(kInstalled, "", "manifest.presence.md5"), false, list);
         },
         "Could not verify config/settings.ini", notVouched},
        {"served bytes not the listed ones", [&] { server.put("files/" + settings, "volume=11\nadmin=1\n"); },
         "Could not download config/settings.ini", "\t\tconfig/settings.ini arrived as "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publishSigned();
        c.serve();
        std::filesystem::remove(game.file(settings));
        Files before = game.files();
        expectFailedRun(game, c.failure, c.logLine);
        Files after = game.files();
        // A run that began staging lists what it staged, for the next run to go on.
        for (const char* own : {"logs/updater.log", kStagedListPath}) {
            before.erase(own);
            after.erase(own);
        }
        EXPECT_EQ(differences(after, before), Lines{});
    }
}
