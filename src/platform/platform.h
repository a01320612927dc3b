// The few operations that differ between operating systems. One source file per platform
// implements all of them; CMake picks it, so no other file needs to know the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Socket library start-up and clean-up for the process (Windows Sockets; nothing on POSIX).
void platformStartSockets();
void platformStopSockets();

// Gathers what is written to `stream` in blocks of kPlatformOutputBlock bytes: one system call
// per block, not per line. Whoever may end the process (a box, a launch, the exit) or waits a
// while flushes it first (fflush); a kill between two flushes loses what was gathered since.
constexpr size_t kPlatformOutputBlock = size_t(64) << 10;
// Main thread, once, for one stream (the buffer is the process's).
void platformWriteInBlocks(std::FILE* stream);
// Sends what is written to `stream` (standard output) from now on to a new file at `path`,
// made as platformOpenFile's Write mode makes one: never through a link. Main thread, before
// other threads write to the stream. False, with the stream left as it was, when the file
// cannot be made.
bool platformRedirectOutput(std::FILE* stream, const std::string& path);

// ---- Files of the game's folder. One path API for opening, creating, renaming and removing
// files: paths are UTF-8 with "/" between levels (on Windows they go to the system as UTF-16,
// so names outside ASCII work), relative to the working directory, which is the game's
// folder. A relative path is walked level by level without following a symbolic link (on
// Windows, a reparse point) at any level, so nothing reaches outside the folder through a
// link someone placed in it; where an absolute path's folder lies is the caller's business,
// only its last level is never followed. Only regular files are opened, replaced or removed:
// whatever else stands at a path (a folder, a link, a pipe, a device) is left alone and the
// operation fails. Any thread may call these; they keep no state and never log.

enum class PlatformFileKind {
    // Nothing there, or a folder on the way is missing.
    Missing,
    Regular,
    // A folder, a link, a pipe, a device, or a link or non-folder on the way.
    Other,
};
PlatformFileKind platformFileKind(const std::string& path);

enum class PlatformOpenMode {
    // An existing regular file, read from its start. Never blocks on a pipe or device.
    Read,
    // A new, empty regular file: whatever file stood at the path is removed first, so a hard
    // link to a file elsewhere is never written through.
    Write,
    // An existing regular file (with no other hard link) written at its end, or a new one; it may
    // also be read (from its start after a rewind), so what it held is read through the same handle.
    Append,
};
// A binary C stream on the file, or null; the caller closes it.
std::FILE* platformOpenFile(const std::string& path, PlatformOpenMode mode);
// Renames the regular file `from` to `to`, replacing a regular file there in one step. False,
// with both left as they were, when either is not a regular file (or missing, for `from`) or
// the system refuses (a read-only or immutable file, another disk).
bool platformRenameFile(const std::string& from, const std::string& to);
// Removes the regular file; false when there is none or the system refuses.
bool platformRemoveFile(const std::string& path);
// Moves `file` (from platformOpenFile) to byte `offset` of the file, or to its end when
// `offset` is negative, with offsets of 64 bits everywhere (a C long has 32 on Windows). The
// position reached, or -1 when the system refuses.
int64_t platformSeekFile(std::FILE* file, int64_t offset);
// Advice that the bytes [offset, offset + length) of `file` (from platformOpenFile) will not be
// read again, so that the memory caching them can serve the next writes at once. Nothing else
// changes, and a system without such advice (Windows) takes none.
void platformForgetCachedBytes(std::FILE* file, int64_t offset, int64_t length);
// Creates one directory level: 0 on success, otherwise -1 (it may already exist).
int platformMakeDirectory(const std::string& path);
// Creates every missing level of the folder path, in time linear in its length. False when a
// level cannot be created or is not a folder (a file, or a link, which is not followed).
bool platformMakeDirectories(const std::string& path);

// ---- Putting a release in place. The same path rules as the file API above.

enum class PlatformRenameResult {
    Renamed,
    // Another program holds one of the files open in a way that forbids it (Windows' sharing
    // violation, or its refusal to replace a running program); it may pass. Never on POSIX.
    Busy,
    // Anything else: see platformRenameFile.
    Refused,
};
// As platformRenameFile, telling a file that is busy for now from a refusal.
PlatformRenameResult platformRename(const std::string& from, const std::string& to);
// Removes the folder when it is empty (never a link); false otherwise.
bool platformRemoveFolder(const std::string& path);
// Whether the regular file may be run as a program: its owner's run permission on POSIX; always
// false on Windows, where the file's name decides.
bool platformIsExecutable(const std::string& path);
// Gives the regular file run permission wherever it has read permission (POSIX); true and
// nothing to do on Windows. False when the file cannot be changed.
bool platformMakeExecutable(const std::string& path);
// True when `path` is the program file this process runs from.
bool platformIsThisProgram(const std::string& path);
// The bytes this process may still write to the volume that holds the folder `path` ("" is the
// working directory); -1 when the system does not say.
int64_t platformFreeBytes(const std::string& path);

enum class PlatformLockResult {
    // This process holds the lock until it exits.
    Held,
    // Another process holds it.
    Busy,
    // The lock file cannot be opened (a read-only folder): nobody can hold it.
    Unavailable,
};
// Takes the exclusive lock on the file at `path` (created when missing) without waiting. Main
// thread, once per process; the lock ends with the process, also when it is killed.
PlatformLockResult platformLockFile(const std::string& path);

// What the file system says about a file without reading it: enough to tell that a file is
// still the one seen before. Any write changes the change time (which no program can set
// back), and a file put in another's place has another identity.
struct PlatformFileStamp {
    int64_t size = 0;
    // Last write, seconds and nanoseconds since 1970 (as fine as the file system keeps them).
    int64_t modifiedSeconds = 0;
    int32_t modifiedNanoseconds = 0;
    // Last change of content or metadata (POSIX ctime; Windows' change time).
    int64_t changedSeconds = 0;
    int32_t changedNanoseconds = 0;
    // The file's identity on its volume (POSIX inode; Windows' file index).
    uint64_t identity = 0;
};
// Any thread. False when the path is missing, unreadable to the system or not a regular file.
bool platformStampFile(const std::string& path, PlatformFileStamp& out);

// Stamps many files in a row as platformStampFile does, holding the folders of the last path
// open, so that the next file of the same folder costs one system call instead of a walk from
// the top: files listed folder by folder cost about one stat each. On Windows a folder is read
// once, when a file in it is first asked for, and its files are answered from that listing
// where it speaks for them (memory for each of the folder's names, freed when a path leaves the
// folder, kept while the walk is in one of its subfolders). The folders are opened as the path
// API opens them (never through a link) and stay open, as they were reached, until a path
// leaves them or the walk is destroyed; keep it for one pass, not for a run. One thread at a
// time; owns its handles.
class PlatformFolderWalk {
public:
    PlatformFolderWalk();
    ~PlatformFolderWalk();
    PlatformFolderWalk(const PlatformFolderWalk&) = delete;
    PlatformFolderWalk& operator=(const PlatformFolderWalk&) = delete;
    // As platformStampFile.
    bool stamp(const std::string& path, PlatformFileStamp& out);
    // The open levels (defined by each platform).
    struct Levels;

private:
    Levels* levels_;
};

// ---- Durability and the file system's clock. A file renamed into place must already be on the
// disk, or a power cut can leave its name, size and times in place over zeroes that no later
// run would look at again. Any thread; no state, no log.

// Writes what the system still caches of the regular file at `path` (never reached through a
// link) to the disk, then fills `stamp`, when given, through the same handle. False when there
// is no such file, it cannot be opened to be flushed, or the disk reports a failure.
bool platformFlushFile(const std::string& path, PlatformFileStamp* stamp);
// As platformFlushFile, for a stream from platformOpenFile opened to write: its buffer first.
// The stream stays open and the caller's.
bool platformFlushStream(std::FILE* file);
// Starts writing to the disk what `file` (from platformOpenFile, open to write) holds so far,
// without waiting for it: a writer of a large file calls it every few megabytes, so that the
// flush before its rename finds little left to write. Windows' cache writes behind by itself:
// nothing to do there.
void platformWriteBehind(std::FILE* file);
// Makes the names in the folder at `path` ("" is the working directory) reach the disk: a
// file renamed into it survives a power cut only then on POSIX systems. Windows keeps a
// rename in the file system's own journal: nothing to do there. False when the folder cannot
// be opened (or is a link) or the disk reports a failure.
bool platformFlushFolder(const std::string& path);
// The wall clock, in nanoseconds since 1970: the clock the file system dates writes by.
int64_t platformWallClock();
// How far apart two writes of a file on the volume that holds `path` must be for their times to
// differ, in nanoseconds: the system's clock tick on volumes with fine times, one second on a
// volume whose times show no fraction (`stamp`, a stamp of that file, tells), two seconds on
// FAT and exFAT and wherever nothing better is known.
int64_t platformTimeGranularity(const std::string& path, const PlatformFileStamp& stamp);
// Any thread. The number of processors this process may run on; at least 1.
int platformProcessorCount();

// ---- Files for the tools (kib-manifest): a publisher's own paths, reached as the system
// reaches them (links followed), since a release may well lie behind one. Not for the game's
// folder, which the path API above guards. Any thread. A failure leaves errno saying why.

// What a path leads to.
struct PlatformPathInfo {
    enum class Kind { File, Folder, Other };
    // With links followed: a regular file, a folder, or anything else.
    Kind kind = Kind::Other;
    // The last level itself is a symbolic link (on Windows, a reparse point).
    bool link = false;
    // A regular file's size in bytes.
    uint64_t size = 0;
};
// False when the path (or what a link there points to) is missing or cannot be looked at.
bool platformPathInfo(const std::string& path, PlatformPathInfo& info);
// The names in the folder, without "." and "..", in the system's order. False when the folder
// cannot be read.
bool platformListFolder(const std::string& path, std::vector<std::string>& names);
// The absolute form of an existing path with every link resolved; empty when there is none.
std::string platformResolvedPath(const std::string& path);
// True when `stream` is an interactive terminal, which may be rewritten in place.
bool platformIsTerminal(std::FILE* stream);
// Asks for a password on the terminal (never standard input), with `prompt` and without
// echoing what is typed, up to the end of the line. False when there is no terminal.
bool platformReadPassword(const std::string& prompt, std::string& password);

// Descriptors of the C runtime, for large reads and writes and for zlib's gzdopen; never
// inherited by another program.
enum class PlatformDescriptorMode {
    // An existing file read once from start to end (the system may read ahead).
    Read,
    // A new or emptied file, readable by everyone.
    Create,
    // A new file readable by its owner only; an existing one is never replaced.
    CreatePrivate,
};
// The descriptor, or -1.
int platformOpenDescriptor(const std::string& path, PlatformDescriptorMode mode);
// Reads at most `length` bytes: the count, 0 at the end, -1 on an error.
int64_t platformReadDescriptor(int descriptor, void* data, size_t length);
// Writes all `length` bytes; false on an error.
bool platformWriteDescriptor(int descriptor, const void* data, size_t length);
// Closes it: 0, or -1 when what was written may not have reached the file.
int platformCloseDescriptor(int descriptor);
// A pipe with room for a large write; false when the system refuses one.
bool platformCreatePipe(int& readEnd, int& writeEnd);

// ---- TCP sockets. Every call may run on any thread; a socket belongs to the thread using it.

// A connected TCP socket, or kNoSocket.
using PlatformSocket = intptr_t;
constexpr PlatformSocket kNoSocket = -1;

// One address that a host resolved to, as the socket library stores it.
struct PlatformAddress {
    // Big enough for any socket address (IPv4 or IPv6).
    unsigned char bytes[128];
    int length = 0;
};

// Interrupts the socket waits it is handed to: raised once, from any thread, it stays raised,
// and every wait that was given it returns kSocketCancelled at once.
struct PlatformCancel;
// Null when the system refuses the resources (the waits then simply cannot be interrupted).
PlatformCancel* platformCreateCancel();
void platformRaiseCancel(PlatformCancel* cancel);
bool platformCancelRaised(const PlatformCancel* cancel);
// No wait may still be using it.
void platformDestroyCancel(PlatformCancel* cancel);

// Results of the socket waits below besides a byte count.
constexpr int64_t kSocketFailed = -1;
constexpr int64_t kSocketTimedOut = -2;
constexpr int64_t kSocketCancelled = -3;

// Appends every TCP address of `host` (a name, or a literal IPv4 or IPv6 address without
// brackets, which needs no lookup) and the decimal `port`, in the resolver's order. Thread-safe;
// a name lookup cannot be interrupted. False when there is none.
bool platformResolve(const std::string& host, const std::string& port, std::vector<PlatformAddress>& out);
// A new socket connected to `address`, waiting at most `timeoutMs`; kNoSocket on refusal,
// time-out or cancel (`cancel` may be null). The caller closes it.
PlatformSocket platformConnect(const PlatformAddress& address, int timeoutMs, const PlatformCancel* cancel);
// Sends all `length` bytes; false on error, on cancel, or when the peer takes nothing for
// `timeoutMs`.
bool platformSendAll(PlatformSocket socket, const char* data, size_t length, int timeoutMs,
                     const PlatformCancel* cancel);
// Receives up to `capacity` bytes: the count (> 0), 0 when the peer closed the connection, or
// kSocketFailed, kSocketTimedOut (nothing arrived for `timeoutMs`), kSocketCancelled.
int64_t platformReceive(PlatformSocket socket, char* buffer, size_t capacity, int timeoutMs,
                        const PlatformCancel* cancel);
void platformCloseSocket(PlatformSocket socket);

// ---- TLS client sessions over a connected socket, with the system's own TLS library and
// trust store (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR apply; SChannel
// and the Windows root store). A session belongs to the thread using it, like its socket.

struct PlatformTls;
// Runs the handshake over `socket`, which stays the caller's and must outlive the session:
// TLS 1.2 or newer, `host` (a name or a literal address, without port or brackets) sent for
// SNI when it is a name, the certificate chain verified against the system's trust store and
// its name checked against `host`. Every wait obeys `timeoutMs` and `cancel`. Null on any
// failure, with one line in `error` saying what was wrong (a certificate not trusted, with its
// subject and issuer; a name mismatch; an expired certificate; a time-out), and `transient`
// telling whether another attempt may fare better (a time-out or a connection cut short, not
// a refused certificate or a server without TLS). With `offerHttp2` the hello offers HTTP/2
// and HTTP/1.1 by ALPN (without, it names no protocol).
PlatformTls* platformTlsStart(PlatformSocket socket, const std::string& host, int timeoutMs,
                              const PlatformCancel* cancel, std::string& error, bool& transient,
                              bool offerHttp2 = false);
// True when the server chose HTTP/2 ("h2") from what the hello offered.
bool platformTlsHttp2(const PlatformTls* tls);
// As platformSendAll, through the session.
bool platformTlsSendAll(PlatformTls* tls, const char* data, size_t length, int timeoutMs,
                        const PlatformCancel* cancel);
// As platformReceive, through the session: 0 only when the server ended the session properly;
// a connection cut without that is kSocketFailed, so a shortened body is never taken for a
// whole one.
int64_t platformTlsReceive(PlatformTls* tls, char* buffer, size_t capacity, int timeoutMs,
                           const PlatformCancel* cancel);
// Frees the session without waiting for the server; null is allowed. The socket stays open.
void platformTlsEnd(PlatformTls* tls);

// Shows a modal box with a warning icon and one OK button, on top of other windows, and
// returns when the user has closed it. A box that cannot be shown is no error.
void platformShowMessage(const std::string& caption, const std::string& text);

// Moves the SDL window to the screen's top-left corner, 300 by 50, raised and shown. Leaves it
// where it is when SDL's window-manager query fails (as with the dummy video driver).
void platformPlaceWindow();

// Starts `file` by its full path in the working directory (never searched for on the system's
// path), in that directory, without waiting for it. Returns a value above 32 on
// success, otherwise the failure code Windows' ShellExecute gives (2 file not found, 5 access
// denied, 8 out of memory, 11 not a program this system can run, ...).
int platformLaunchGame(const std::string& file);

// The player's own proxy settings, where the system keeps some per user (Windows' Internet
// settings): `server` and `overrides` as stored there. False when there are none, or the
// proxy is switched off (always, on POSIX systems: the environment speaks for them).
bool platformUserProxy(std::string& server, std::string& overrides);
