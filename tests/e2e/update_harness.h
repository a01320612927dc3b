// What the end-to-end tests share: a release served by a real nginx, and a game folder in
// which the real updater runs headless (dummy video driver, boxes on standard error).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/nginx_server.h"
#include "support/process.h"
#include "support/temp_dir.h"

using Files = std::map<std::string, std::string>;

// How a file of a release is listed in its manifest.
enum class Listing { Digest, Compressed, Presence };

// A key pair made by Debian's minisign (unencrypted, -W): the game maker's signing key.
class SigningKey {
public:
    SigningKey();
    // The public key file, as a game ships it in assets/updater/update.pub.
    std::string publicKey() const { return dir_.read("key.pub"); }
    std::string publicKeyPath() const { return dir_.file("key.pub"); }
    std::string secretKeyPath() const { return dir_.file("key.key"); }

private:
    TempDir dir_;
};

// A release folder served over HTTP (or HTTPS with `tls`); the manifest lives at
// "release/manifest".
class UpdateServer {
public:
    explicit UpdateServer(const std::string& extraServerConfig = "", const NginxTls& tls = {});

    bool started() const { return nginx_.started(); }
    // The folder nginx serves, for another server to serve it too.
    const std::string& root() const { return root_.path(); }
    int port() const { return nginx_.port(); }
    // Makes url(), manifestUrl() and publish() name `baseUrl` ("http://host:port/") instead of
    // nginx's own address: another server serving root(), or a cache in front of nginx.
    void reachThrough(const std::string& baseUrl) { base_ = baseUrl; }
    std::string url(const std::string& relative) const { return (base_.empty() ? nginx_.baseUrl() : base_) + relative; }
    std::string manifestUrl() const { return url("release/manifest"); }
    void put(const std::string& relative, const std::string& content) const { root_.write(relative, content); }
    std::string get(const std::string& relative) const { return root_.read(relative); }
    void remove(const std::string& relative) const;
    // The absolute path of a served file, for tools that write the server copy themselves.
    std::string file(const std::string& relative) const { return root_.file(relative); }
    // Compresses `relative` with Debian's gzip into `relative` + ".gz" beside it.
    void gzip(const std::string& relative) const;
    // Publishes a game's files as a game maker would: each under "files/" (and gzipped beside
    // it when listed Compressed), with a manifest that lists them from "files/" on, in the
    // order given, Digest unless `listings` says otherwise.
    void publish(const Files& files, const std::map<std::string, Listing>& listings = {}) const;
    // Signs "release/manifest" (or `relative`) with Debian's minisign into the same name with
    // ".minisig"; an empty trusted comment keeps minisign's own ("timestamp:<now>\tfile:manifest
    // \thashed"). `legacy` makes the older kind of signature over the whole file (-l).
    void sign(const SigningKey& key, const std::string& trustedComment = "", bool legacy = false,
              const std::string& relative = "release/manifest") const;
    // Writes "release/manifest.presence.md5" as a publisher with md5sum would: Debian's md5sum
    // over `paths`, published under "files/".
    void listPresenceDigests(const std::vector<std::string>& paths) const;
    // md5sum's digest of a served file.
    std::string md5(const std::string& relative) const;
    // Request lines ("GET /path HTTP/1.1") of the access log, from the `from`-th on.
    std::vector<std::string> requests(size_t from = 0) const;
    // Whole access log lines.
    std::vector<std::string> accessLogLines() const;
    void stop() { nginx_.stop(); }

private:
    TempDir root_;
    NginxServer nginx_;
    std::string base_;
};

// The updater's outcome as the user sees it.
struct UpdaterRun {
    ProcessResult process;
    // logs/updater.log, line by line without the line feeds.
    std::vector<std::string> log;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// A game folder inside a parent folder of its own (so that a write outside it can be seen).
class GameFolder {
public:
    // Writes assets/updater/update.cfg naming `manifestUrl` (with the line break an editor adds).
    explicit GameFolder(const std::string& manifestUrl);

    const TempDir& parent() const { return parent_; }
    std::string path() const { return parent_.file("game"); }
    std::string file(const std::string& relative) const { return path() + "/" + relative; }
    void write(const std::string& relative, const std::string& content) const;
    std::string read(const std::string& relative) const { return readFileBytes(file(relative)); }
    bool exists(const std::string& relative) const;
    // Places a kib.exe that leaves the mark "game-started" (and talks on standard output).
    void installGame() const;

    // Runs the updater (`program`, the one built unless given) here and waits for it (bounded);
    // `environment` adds to or replaces variables of the updater's environment; `wrapper`, when
    // given, is the command that runs it (strace and its options, say).
    UpdaterRun run(int timeoutMs = 60000, const Environment& environment = {},
                   const std::string& program = KIB_UPDATER_PATH, const std::vector<std::string>& wrapper = {}) const;
    // Starts the updater here without waiting.
    std::unique_ptr<ChildProcess> start(const Environment& environment = {},
                                        const std::string& program = KIB_UPDATER_PATH,
                                        const std::vector<std::string>& wrapper = {}) const;
    std::vector<std::string> log() const;
    // Waits up to `timeoutMs` for the started game's mark. The updater starts the game before it
    // exits, so once it has exited a short wait tells that the game was not started.
    bool gameStarted(int timeoutMs = 5000) const;
    // Every regular file under the folder, by relative path, with its content.
    std::map<std::string, std::string> files() const;
    // The folder as a finished run leaves it for a game of these files: them, the
    // configuration, the log, the lock, the record of verified files and the started game's mark
    // (no manifest copy, no partial file).
    std::map<std::string, std::string> finishedFolder(const std::map<std::string, std::string>& gameFiles) const;
    // What lies in the parent folder beside the game's folder; empty unless something was
    // written outside it.
    std::vector<std::string> besideTheFolder() const;

private:
    TempDir parent_;
};

// The script the tests use as the game.
extern const char* const kGameScript;
// The first line of every run in a folder without a public key.
extern const char* const kUnsignedRunLine;
// The box as the updater writes it to standard error.
std::string box(const std::string& caption, const std::string& text);
std::string fatalBox(const std::string& failure);
std::vector<std::string> splitLines(const std::string& text);
// Checks that standard error holds the box for `failure` and no other. A `failure` that ends in
// "..." stands for any failure text that begins with what comes before it (a figure that depends
// on the machine, such as how much room a full disk lacks).
void expectFailureBox(const std::string& err, const std::string& failure);
// The log lines of a switch that puts `placed` in place and removes `removed`, in that order.
std::vector<std::string> switchLines(const std::vector<std::string>& placed,
                                     const std::vector<std::string>& removed = {});
// What neither a finished nor a failed run may leave: partial downloads and unpackings, and
// the manifest copy.
std::vector<std::string> leftovers(const Files& files);
// How a folder differs from the expected one, a line per path ("missing", "unexpected" or
// "differs" and the path), so that a failure names the files without printing their bytes.
std::vector<std::string> differences(const Files& actual, const Files& expected);
// The files of `release` that `game` already holds exactly right.
Files rightFiles(const GameFolder& game, const Files& release);
// Runs the updater in `game`, expecting it to fail: the box for `failure`, a log line that
// starts with `logLine`, the game not started, no leftovers, nothing written beside the folder.
UpdaterRun expectFailedRun(const GameFolder& game, const std::string& failure, const std::string& logLine,
                           const Environment& environment = {});
// Runs the updater in `game` (which holds the mark of no started game), expecting it to end
// the update: "Done!" or "Up to date!", the game started, and the folder exactly as a finished
// run leaves it for `release`, with nothing beside it. `environment` as for GameFolder::run.
void expectFinishedRun(const GameFolder& game, const Files& release, const Environment& environment = {});
