// kib-manifest as a game maker runs it: exit statuses, error messages, and re-runs in place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/process.h"
#include "support/temp_dir.h"
#include "update/block_map.h"
#include "support/digest.h"

namespace {

ProcessResult runTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {KIB_MANIFEST_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv);
}

}  // namespace

TEST(ManifestTool, HelpAndCommandLineErrors) {
    const ProcessResult help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: kib-manifest"), std::string::npos);

    const ProcessResult unknown = runTool({"--frobnicate", "rel", "http://h/"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("unknown option --frobnicate"), std::string::npos) << unknown.err;

    TempDir dir;
    const ProcessResult missing = runTool({dir.file("absent"), "http://h/"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;

    dir.write("rel/a.txt", "a");
    const ProcessResult ftp = runTool({dir.file("rel"), "ftp://h/"});
    EXPECT_EQ(ftp.exitCode, 1);
    EXPECT_NE(ftp.err.find("must begin with http:// or https://"), std::string::npos) << ftp.err;

    const ProcessResult inside = runTool({"-o", dir.file("rel/out"), dir.file("rel"), "http://h/"});
    EXPECT_EQ(inside.exitCode, 1);
    EXPECT_NE(inside.err.find("outside the release folder"), std::string::npos) << inside.err;
}

TEST(ManifestTool, RefusesEveryPathTheUpdaterWouldMangleAndWritesNothing) {
    TempDir dir;
    dir.write("rel/good.txt", "fine");
    dir.write("rel/data/my level.pak", "space");
    dir.write("rel/data/c:d", "colon");
    dir.write("rel/a<b", "angle");
    dir.write("rel/win\\path.txt", "backslash");
    dir.write("rel/manifest.txt", "reserved");
    dir.write("rel/manifest.txt.presence.md5", "reserved too");
    dir.write("rel/movie.bin.PART", "a temporary name of the updater's");
    // Both would end as notes.txt in the game's folder.
    dir.write("rel/notes.txt", "notes");
    dir.write("rel/notes.txt.gz", "notes, packed by hand");
    const ProcessResult result = runTool({"-o", dir.file("out"), dir.file("rel"), "http://h/"});
    EXPECT_EQ(result.exitCode, 1);
    for (const char* path : {"data/my level.pak", "data/c:d", "a<b", "win\\path.txt", "manifest.txt",
                             "manifest.txt.presence.md5", "movie.bin.PART", "notes.txt.gz"})
        EXPECT_NE(result.err.find(std::string(path) + ": "), std::string::npos) << path << "\n" << result.err;
    EXPECT_NE(result.err.find("the updater unpacks it into notes.txt, which the release also holds"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("good.txt"), std::string::npos);
    EXPECT_FALSE(dir.exists("out/manifest.txt"));

    // Left out, the same release publishes.
    const ProcessResult excluded = runTool({"-o", dir.file("out"), "--exclude", "* *", "--exclude", "*:*",
                                            "--exclude", "*<*", "--exclude", "*\\\\*", "--exclude", "manifest.txt*",
                                            "--exclude", "*.PART", "--exclude", "notes*", dir.file("rel"), "http://h/"});
    EXPECT_EQ(excluded.exitCode, 0) << excluded.err;
    EXPECT_EQ(dir.read("out/manifest.txt"), "master:http://h/\ngood.txt:fff25994ee3941b225ba898fd17d186f\n");
}

TEST(ManifestTool, WarnsAboutNamesSomePlayersOrServersCannotHandleButPublishes) {
    TempDir dir;
    dir.write("rel/lib/setup.inc", "a");
    dir.write("rel/Readme.txt", "b");
    dir.write("rel/README.txt", "c");
    dir.write("rel/good.txt", "d");
    const ProcessResult result = runTool({"-o", dir.file("out"), dir.file("rel"), "http://h/"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("warning: lib/setup.inc: Debian's lighttpd"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("warning: Readme.txt: differs from README.txt"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("good.txt"), std::string::npos) << result.err;
    EXPECT_NE(dir.read("out/manifest.txt").find("lib/setup.inc:"), std::string::npos);
}

TEST(ManifestTool, ReportsFilesItCannotRead) {
    TempDir dir;
    dir.write("rel/a.txt", "a");
    ASSERT_EQ(mkfifo(dir.file("rel/pipe").c_str(), 0644), 0);
    const ProcessResult fifo = runTool({dir.file("rel"), "http://h/"});
    EXPECT_EQ(fifo.exitCode, 1);
    EXPECT_NE(fifo.err.find("neither a file nor a folder"), std::string::npos) << fifo.err;
    std::filesystem::remove(dir.file("rel/pipe"));

    if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permissions";
    dir.write("rel/secret.bin", "x");
    chmod(dir.file("rel/secret.bin").c_str(), 0);
    const ProcessResult unreadable = runTool({"-o", dir.file("out"), dir.file("rel"), "http://h/"});
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_NE(unreadable.err.find("cannot read"), std::string::npos) << unreadable.err;
    EXPECT_FALSE(dir.exists("out/manifest.txt"));
}

TEST(ManifestTool, InPlaceRunsAreRepeatableAndPatternsApply) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 2000; ++i) big += "line " + std::to_string(i % 13) + "\n";
    dir.write("rel/data/big.txt", big);
    dir.write("rel/config/settings.ini", "volume=3\n");
    dir.write("rel/debug/kib.pdb", "symbols");
    dir.write("rel/small.txt", "tiny");
    const std::vector<std::string> arguments = {"--presence", "config/*.ini", "--exclude", "*.pdb",
                                                dir.file("rel"), "http://127.0.0.1:8080/g"};
    const ProcessResult first = runTool(arguments);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::string manifest = dir.read("rel/manifest.txt");
    EXPECT_EQ(manifest.rfind("master:http://127.0.0.1:8080/g/\nconfig/settings.ini\ndata/big.txt.gz:", 0), 0u) << manifest;
    EXPECT_NE(manifest.find("small.txt:"), std::string::npos);
    EXPECT_EQ(manifest.find("pdb"), std::string::npos);
    EXPECT_TRUE(dir.exists("rel/data/big.txt.gz"));
    EXPECT_NE(first.out.find("update.cfg must hold: http://127.0.0.1:8080/g/manifest.txt"), std::string::npos);

    // The second run takes its own products for what they are and writes the same manifest;
    // unsigned, it takes away the signed files an earlier run left.
    for (const char* name : {"manifest.txt.minisig", "manifest.txt.presence.md5", "manifest.txt.presence.md5.minisig"})
        dir.write(std::string("rel/") + name, "of the earlier manifest\n");
    const ProcessResult second = runTool(arguments);
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(dir.read("rel/manifest.txt"), manifest);
    EXPECT_FALSE(dir.exists("rel/manifest.txt.minisig"));
    EXPECT_FALSE(dir.exists("rel/manifest.txt.presence.md5"));
    EXPECT_FALSE(dir.exists("rel/manifest.txt.presence.md5.minisig"));
    EXPECT_NE(second.out.find("1 .gz files beside files of the same name"), std::string::npos) << second.out;
}

TEST(ManifestTool, LargeFilesGetABlockMapAndStayServedPlain) {
    TempDir dir;
    // Compressible, so that a .gz copy is kept beside the plain one.
    std::string large;
    for (int i = 0; i < 20000; ++i) large += "record " + std::to_string(i % 97) + "\n";
    dir.write("rel/data/large.pak", large);
    dir.write("rel/small.txt", std::string(5000, 's'));
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool mapped;
    } cases[] = {
        {"above the threshold", {"--delta-min-size", "64k"}, true},
        {"--no-delta", {"--delta-min-size", "64k", "--no-delta"}, false},
        {"below the default threshold", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir out;
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"-o", out.path(), dir.file("rel"), "http://h/"});
        const ProcessResult result = runTool(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(out.exists("data/large.pak.gz"));
        EXPECT_EQ(out.exists("data/large.pak"), c.mapped);
        EXPECT_EQ(out.exists("data/large.pak.kib-blocks"), c.mapped);
        EXPECT_FALSE(out.exists("small.txt.kib-blocks"));
        if (!c.mapped) continue;
        EXPECT_EQ(out.read("data/large.pak"), large);
        BlockMap map;
        ASSERT_TRUE(parseBlockMap(out.read("data/large.pak.kib-blocks"), map));
        EXPECT_EQ(map.md5, md5OfBuffer(large.data(), int32_t(large.size())));
        // What an updater weighs a delta update against.
        EXPECT_EQ(map.gzSize, out.read("data/large.pak.gz").size());
        // The manifest's line is unchanged: the map is found by its name.
        EXPECT_NE(out.read("manifest.txt").find("data/large.pak.gz:" + map.md5 + "<"), std::string::npos);
    }

    // In place, a second run takes the map for its own product, and a file that fell below the
    // threshold loses its map.
    ASSERT_EQ(runTool({"--delta-min-size", "64k", dir.file("rel"), "http://h/"}).exitCode, 0);
    EXPECT_TRUE(dir.exists("rel/data/large.pak.kib-blocks"));
    const ProcessResult again = runTool({"--delta-min-size", "64k", dir.file("rel"), "http://h/"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(runTool({dir.file("rel"), "http://h/"}).exitCode, 0);
    EXPECT_FALSE(dir.exists("rel/data/large.pak.kib-blocks"));
}
