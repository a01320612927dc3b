// The platform layer on Windows: files, Windows Sockets, the user and shell interfaces, and
// the SDL window's native handle. TLS is SChannel's, in tls_schannel.cpp.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winternl.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <SDL.h>
#include <SDL_syswm.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

void platformStartSockets() {
    WSADATA data;
    // Counted by Windows: every start-up is matched by one clean-up. A failed start-up shows
    // as failed transfers.
    WSAStartup(MAKEWORD(2, 2), &data);
}

void platformStopSockets() { WSACleanup(); }

bool platformRedirectOutput(std::FILE* stream, const std::string& path) {
    std::FILE* file = platformOpenFile(path, PlatformOpenMode::Write);
    if (!file) return false;
    // A program without a console may have no descriptor behind the stream yet: it gets one.
    bool ok = _fileno(stream) >= 0 || std::freopen("NUL", "w", stream);
    ok = ok && std::fflush(stream) == 0 && _dup2(_fileno(file), _fileno(stream)) == 0;
    std::fclose(file);
    // Text, as the log always was: lines end in CR LF.
    if (ok) _setmode(_fileno(stream), _O_TEXT);
    return ok;
}

// ---- Files. Paths go to the wide ("W") functions as UTF-16 in their "\\?\" form: names
// outside ASCII reach the disk as the manifest wrote them, Windows changes no level (a trailing
// dot or space stays, "nul" is a name, "." and ".." are not resolved), and a path may be longer
// than MAX_PATH. Every folder on the way of a relative path is looked at first: a reparse point
// (a symbolic link or a junction) or a file there stops the operation, and the last level is
// opened with FILE_FLAG_OPEN_REPARSE_POINT and checked to be a plain file.

namespace {

const std::wstring kVerbatim = L"\\\\?\\";

// The UTF-16 form with "\" between levels; empty for text that is not UTF-8.
std::wstring widePath(const std::string& path) {
    if (path.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), &wide[0], length);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

// A full path in its "\\?\" form ("\\server\share\x" becomes "\\?\UNC\server\share\x").
std::wstring verbatim(const std::wstring& full) {
    if (full.compare(0, kVerbatim.size(), kVerbatim) == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return kVerbatim + L"UNC" + full.substr(1);
    return kVerbatim + full;
}

// A path as the file functions get it. `levelsFrom` is where the part named relative to the
// working directory begins, whose folders are checked; npos for an absolute path, whose
// folders are the caller's business.
struct SystemPath {
    std::wstring text;
    size_t levelsFrom = std::wstring::npos;
};

SystemPath systemPath(const std::string& path) {
    SystemPath out;
    const std::wstring wide = widePath(path);
    if (wide.empty()) return out;
    const bool absolute = wide[0] == L'\\' || (wide.size() > 1 && wide[1] == L':');
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        // An absolute path is made full by the system (a drive-relative "c:x" too); a relative
        // one is put behind the working directory as it is, level by level.
        const DWORD needed = absolute ? GetFullPathNameW(wide.c_str(), DWORD(buffer.size()), buffer.data(), nullptr)
                                      : GetCurrentDirectoryW(DWORD(buffer.size()), buffer.data());
        if (needed == 0) return out;
        if (needed < buffer.size()) break;
        buffer.resize(needed + 1);
    }
    std::wstring base = verbatim(buffer.data());
    if (absolute) {
        out.text = wide.compare(0, kVerbatim.size(), kVerbatim) == 0 ? wide : base;
        return out;
    }
    if (base.back() != L'\\') base += L'\\';
    out.levelsFrom = base.size();
    out.text = base + wide;
    return out;
}

enum class Levels { Folders, Missing, Refused };

// Looks at every folder level of a relative path, one call each: linear in the path's length.
Levels checkLevels(const SystemPath& path) {
    if (path.levelsFrom == std::wstring::npos) return Levels::Folders;
    for (size_t at = path.text.find(L'\\', path.levelsFrom); at != std::wstring::npos;
         at = path.text.find(L'\\', at + 1)) {
        const std::wstring level = path.text.substr(0, at);
        const DWORD attributes = GetFileAttributesW(level.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Levels::Missing : Levels::Refused;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Levels::Refused;
    }
    return Levels::Folders;
}

PlatformFileKind kindOf(const SystemPath& path) {
    if (path.text.empty()) return PlatformFileKind::Other;
    switch (checkLevels(path)) {
    case Levels::Missing: return PlatformFileKind::Missing;
    case Levels::Refused: return PlatformFileKind::Other;
    case Levels::Folders: break;
    }
    const DWORD attributes = GetFileAttributesW(path.text.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PlatformFileKind::Missing
                                                                               : PlatformFileKind::Other;
    }
    if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        return PlatformFileKind::Other;
    return PlatformFileKind::Regular;
}

}  // namespace

PlatformFileKind platformFileKind(const std::string& path) { return kindOf(systemPath(path)); }

std::FILE* platformOpenFile(const std::string& path, PlatformOpenMode mode) {
    const SystemPath system = systemPath(path);
    const std::wstring& wide = system.text;
    const PlatformFileKind kind = kindOf(system);
    if (kind == PlatformFileKind::Other) return nullptr;
    if (mode == PlatformOpenMode::Read && kind == PlatformFileKind::Missing) return nullptr;
    // A file already there may be a hard link to one elsewhere: it is replaced, not emptied.
    if (mode == PlatformOpenMode::Write && kind == PlatformFileKind::Regular) DeleteFileW(wide.c_str());
    const DWORD access = mode == PlatformOpenMode::Read    ? GENERIC_READ
                         : mode == PlatformOpenMode::Write ? GENERIC_WRITE
                                                           : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = mode == PlatformOpenMode::Read    ? OPEN_EXISTING
                              : mode == PlatformOpenMode::Write ? CREATE_NEW
                                                                : OPEN_ALWAYS;
    HANDLE handle = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        (mode == PlatformOpenMode::Append && info.nNumberOfLinks > 1)) {
        CloseHandle(handle);
        return nullptr;
    }
    if (mode == PlatformOpenMode::Append) SetFilePointer(handle, 0, nullptr, FILE_END);
    const int flags = _O_BINARY | (mode == PlatformOpenMode::Read    ? _O_RDONLY
                                       : mode == PlatformOpenMode::Write ? _O_WRONLY
                                                                         : _O_RDWR) |
                      (mode == PlatformOpenMode::Append ? _O_APPEND : 0);
    const int fd = _open_osfhandle(intptr_t(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode == PlatformOpenMode::Read ? "rb" : mode == PlatformOpenMode::Write ? "wb" : "a+b");
    if (!file) _close(fd);
    return file;
}

bool platformRenameFile(const std::string& from, const std::string& to) {
    return platformRename(from, to) == PlatformRenameResult::Renamed;
}

PlatformRenameResult platformRename(const std::string& from, const std::string& to) {
    const SystemPath systemFrom = systemPath(from), systemTo = systemPath(to);
    if (kindOf(systemFrom) != PlatformFileKind::Regular || kindOf(systemTo) == PlatformFileKind::Other)
        return PlatformRenameResult::Refused;
    if (MoveFileExW(systemFrom.text.c_str(), systemTo.text.c_str(), MOVEFILE_REPLACE_EXISTING))
        return PlatformRenameResult::Renamed;
    // A file open without FILE_SHARE_DELETE (a scanner, the game itself), or a running program
    // in the place of the target, lets go of it sooner or later.
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION
               ? PlatformRenameResult::Busy
               : PlatformRenameResult::Refused;
}

bool platformRemoveFolder(const std::string& path) {
    const SystemPath system = systemPath(path);
    if (system.text.empty() || checkLevels(system) != Levels::Folders) return false;
    const DWORD attributes = GetFileAttributesW(system.text.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return RemoveDirectoryW(system.text.c_str()) != 0;
}

bool platformIsExecutable(const std::string&) { return false; }

bool platformMakeExecutable(const std::string&) { return true; }

int64_t platformFreeBytes(const std::string& path) {
    const std::wstring wide = path.empty() ? std::wstring(L".") : widePath(path);
    ULARGE_INTEGER available;
    if (wide.empty() || !GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return -1;
    return int64_t(available.QuadPart);
}

bool platformIsThisProgram(const std::string& path) {
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, DWORD(sizeof self / sizeof self[0]));
    if (length == 0 || length >= sizeof self / sizeof self[0]) return false;
    const std::wstring wide = widePath(path);
    wchar_t full[32768];
    const DWORD fullLength = GetFullPathNameW(wide.c_str(), DWORD(sizeof full / sizeof full[0]), full, nullptr);
    if (wide.empty() || fullLength == 0 || fullLength >= sizeof full / sizeof full[0]) return false;
    return CompareStringOrdinal(self, int(length), full, int(fullLength), TRUE) == CSTR_EQUAL;
}

bool platformRemoveFile(const std::string& path) {
    const SystemPath system = systemPath(path);
    return kindOf(system) == PlatformFileKind::Regular && DeleteFileW(system.text.c_str()) != 0;
}

int64_t platformSeekFile(std::FILE* file, int64_t offset) {
    if (_fseeki64(file, offset < 0 ? 0 : offset, offset < 0 ? SEEK_END : SEEK_SET) != 0) return -1;
    return _ftelli64(file);
}

// The cache manager has no advice of this kind for a file opened with buffering.
void platformForgetCachedBytes(std::FILE*, int64_t, int64_t) {}

int platformMakeDirectory(const std::string& path) {
    const SystemPath system = systemPath(path);
    return !system.text.empty() && CreateDirectoryW(system.text.c_str(), nullptr) ? 0 : -1;
}

bool platformMakeDirectories(const std::string& path) {
    SystemPath system = systemPath(path);
    std::wstring& wide = system.text;
    if (wide.empty()) return false;
    if (wide.back() != L'\\') wide += L'\\';
    const bool relative = system.levelsFrom != std::wstring::npos;
    // The levels below the working directory, or below an absolute path's drive or share.
    size_t from = system.levelsFrom;
    if (!relative) {
        const bool share = wide.compare(kVerbatim.size(), 4, L"UNC\\") == 0;
        from = wide.find(L'\\', kVerbatim.size() + (share ? 4 : 0));
        if (share && from != std::wstring::npos) from = wide.find(L'\\', from + 1);
        if (from == std::wstring::npos) return false;
        ++from;
    }
    // Each level is made, then looked at: an existing reparse point or file stops the walk.
    for (size_t at = wide.find(L'\\', from); at != std::wstring::npos; at = wide.find(L'\\', at + 1)) {
        const std::wstring level = wide.substr(0, at);
        CreateDirectoryW(level.c_str(), nullptr);
        const DWORD attributes = GetFileAttributesW(level.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (relative && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
            return false;
    }
    return true;
}

PlatformLockResult platformLockFile(const std::string& path) {
    const SystemPath system = systemPath(path);
    if (kindOf(system) == PlatformFileKind::Other) return PlatformLockResult::Unavailable;
    HANDLE handle = CreateFileW(system.text.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return PlatformLockResult::Unavailable;
    OVERLAPPED whole = {};
    // The handle stays open for the rest of the process: closing it would end the lock.
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole))
        return PlatformLockResult::Held;
    const bool busy = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(handle);
    return busy ? PlatformLockResult::Busy : PlatformLockResult::Unavailable;
}

namespace {

// Windows counts 100-nanosecond ticks from 1601; the stamp counts from 1970 like POSIX.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;

void splitTicks(int64_t ticks, int64_t& seconds, int32_t& nanoseconds) {
    seconds = ticks / kTicksPerSecond - kSecondsFrom1601To1970;
    nanoseconds = int32_t(ticks % kTicksPerSecond * 100);
}


// The stamp of an open plain file; false for a folder or a reparse point. Two questions of the
// file system, of its times, size and attributes and of its index: not the name and volume that
// GetFileInformationByHandle also asks for (the same index, so records stay as they were).
bool stampOf(HANDLE file, PlatformFileStamp& out) {
    FILE_NETWORK_OPEN_INFORMATION times;
    FILE_INTERNAL_INFORMATION index;
    IO_STATUS_BLOCK status;
    if (NtQueryInformationFile(file, &status, &times, sizeof times, FileNetworkOpenInformation) < 0 ||
        NtQueryInformationFile(file, &status, &index, sizeof index, FileInternalInformation) < 0 ||
        (times.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    out.size = times.EndOfFile.QuadPart;
    splitTicks(times.LastWriteTime.QuadPart, out.modifiedSeconds, out.modifiedNanoseconds);
    splitTicks(times.ChangeTime.QuadPart, out.changedSeconds, out.changedNanoseconds);
    out.identity = uint64_t(index.IndexNumber.QuadPart);
    return true;
}

// Opens the plain file at `path` (never a reparse point, nor through one) with `access`, sharing
// everything: the game may hold the file open.
HANDLE openPlainFile(const std::string& path, DWORD access) {
    const SystemPath system = systemPath(path);
    if (kindOf(system) != PlatformFileKind::Regular) return INVALID_HANDLE_VALUE;
    return CreateFileW(system.text.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

bool platformStampFile(const std::string& path, PlatformFileStamp& out) {
    // Only a plain file reached through plain folders, like every other file operation: a
    // reparse point is never followed to vouch for what lies behind it. Opened for its
    // attributes only.
    HANDLE file = openPlainFile(path, FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = stampOf(file, out);
    CloseHandle(file);
    return ok;
}

// The folder levels of the last path stamped, each open and checked once: a folder, never a
// reparse point, and held without sharing deletion, so that none of them can be renamed or
// replaced by a junction while the files in it are stamped. A level the next path shares stays
// held. The first file asked for in a held folder has the folder listed through its handle
// (FileIdBothDirectoryInfo, 64 KiB a call), and its files are answered from that listing
// without a system call each; the listing is freed with the folder when a path leaves it, and
// kept while the walk is in one of its subfolders, so that a manifest in the order of its
// paths, whose files of a folder come before and after those of its subfolders, lists each
// folder once. A listing costs what the whole folder holds, also the names the manifest does
// not list there: a folder far larger than the files it is asked for is still read once, less
// than an open per file unless the manifest lists only a few of its names.
//
// Only the answer "no such name" comes from the listing everywhere. A directory query may show
// a file as it was (NTFS refreshes the copy of a file's size and times kept beside its name
// lazily: when a writer closes its handle, and only for the name it wrote through), and such a
// stale copy would vouch for a file that has changed since. Wine answers a directory query from
// the host's own stat of each file, never from a copy: there the listing's stamps are taken as
// they are; on Windows itself a file that is there is opened, by its name in the folder held.
struct PlatformFolderWalk::Levels {
    // What a stamp needs of one name of a listed folder; its name is names[nameAt, +nameLength).
    struct Listed {
        int64_t size;
        int64_t written;
        int64_t changed;
        uint64_t identity;
        DWORD attributes;
        uint32_t nameAt;
        uint32_t nameLength;
    };
    // One folder held open, and its names once a file in it was asked for.
    struct Folder {
        HANDLE handle = INVALID_HANDLE_VALUE;
        // Refused: the system would not list it, and its files are opened by their paths.
        enum class State { Unread, Listed, Refused } state = State::Unread;
        // In Windows' order of names (ordinal, case ignored).
        std::vector<Listed> entries;
        std::wstring names;
    };
    // The folder part of the last relative path, as systemPath spells it ("" for the top), and
    // each of its levels, outermost first.
    std::wstring folder;
    std::vector<Folder> held;
    bool valid = false;
    // The working directory, opened once a file in it is asked for: the caller's, as it is
    // (followed, not checked), and kept, as every level lies in it.
    Folder top;
    // The listing's stamps are the files' own (Wine), not copies that may lag behind.
    const bool listingCurrent;
    // One listing call's worth, aligned for the entries' 64-bit fields.
    std::vector<LONGLONG> buffer;

    Levels() : listingCurrent(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {}
    ~Levels() {
        release();
        if (top.handle != INVALID_HANDLE_VALUE) CloseHandle(top.handle);
    }
    void release() {
        while (!held.empty()) leave();
        folder.clear();
        valid = false;
    }
    void leave() {
        CloseHandle(held.back().handle);
        held.pop_back();
    }
    // Holds every level of `text` from `from` up to `end` (a backslash; npos for none), keeping
    // those the last path shares with it and opening and checking the others. False, with
    // nothing held, when one is missing, no folder, a reparse point or cannot be opened.
    bool enter(const std::wstring& text, size_t from, size_t end) {
        const size_t length = end == std::wstring::npos ? 0 : end + 1 - from;
        size_t shared = 0, sharedLevels = 0;
        for (size_t i = 0; valid && i < std::min(folder.size(), length) && folder[i] == text[from + i]; ++i)
            if (folder[i] == L'\\') shared = i + 1, ++sharedLevels;
        while (held.size() > sharedLevels) leave();
        for (size_t at = text.find(L'\\', from + shared); at != std::wstring::npos && at <= end;
             at = text.find(L'\\', at + 1)) {
            const std::wstring level = text.substr(0, at);
            HANDLE handle = openFolder(level, FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY, FILE_FLAG_OPEN_REPARSE_POINT);
            // A folder that may be passed but not listed is still walked through.
            if (handle == INVALID_HANDLE_VALUE)
                handle = openFolder(level, FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT);
            if (handle == INVALID_HANDLE_VALUE) return release(), false;
            held.emplace_back();
            held.back().handle = handle;
            // Looked at through the handle and by its name too: Wine opens a link to a folder as
            // the folder it leads to, and only the name shows it as the reparse point it is.
            BY_HANDLE_FILE_INFORMATION info;
            const DWORD attributes = GetFileAttributesW(level.c_str());
            if (!GetFileInformationByHandle(handle, &info) || !isPlainFolder(info.dwFileAttributes) ||
                attributes == INVALID_FILE_ATTRIBUTES || !isPlainFolder(attributes))
                return release(), false;
        }
        folder.assign(text, from, length);
        valid = true;
        return true;
    }
    static bool isPlainFolder(DWORD attributes) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    static HANDLE openFolder(const std::wstring& path, DWORD access, DWORD flags) {
        return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    }
    // The folder the last path entered ends in, listed unless the system refuses; the working
    // directory is `text` up to `from`.
    Folder& listed(const std::wstring& text, size_t from) {
        if (held.empty() && top.handle == INVALID_HANDLE_VALUE && top.state == Folder::State::Unread) {
            top.handle = openFolder(text.substr(0, from), FILE_LIST_DIRECTORY, 0);
            if (top.handle == INVALID_HANDLE_VALUE) top.state = Folder::State::Refused;
        }
        Folder& where = held.empty() ? top : held.back();
        if (where.state == Folder::State::Unread) where.state = list(where) ? Folder::State::Listed : Folder::State::Refused;
        return where;
    }
    // Reads every name of the folder; false, with nothing kept, when the system refuses.
    bool list(Folder& where) {
        buffer.resize((size_t(64) << 10) / sizeof(LONGLONG));
        for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
            if (!GetFileInformationByHandleEx(where.handle, kind, buffer.data(), DWORD(buffer.size() * sizeof(LONGLONG)))) {
                if (GetLastError() == ERROR_NO_MORE_FILES) break;
                std::vector<Listed>().swap(where.entries);
                std::wstring().swap(where.names);
                return false;
            }
            const char* at = reinterpret_cast<const char*>(buffer.data());
            for (;;) {
                const FILE_ID_BOTH_DIR_INFO& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
                const uint32_t length = entry.FileNameLength / sizeof(wchar_t);
                where.entries.push_back({entry.EndOfFile.QuadPart, entry.LastWriteTime.QuadPart,
                                         entry.ChangeTime.QuadPart, uint64_t(entry.FileId.QuadPart),
                                         entry.FileAttributes, uint32_t(where.names.size()), length});
                where.names.append(entry.FileName, length);
                if (entry.NextEntryOffset == 0) break;
                at += entry.NextEntryOffset;
            }
        }
        const wchar_t* names = where.names.data();
        std::sort(where.entries.begin(), where.entries.end(), [names](const Listed& a, const Listed& b) {
            return order(names + a.nameAt, a.nameLength, names + b.nameAt, b.nameLength) == CSTR_LESS_THAN;
        });
        return true;
    }
    // Names as Windows compares them: code unit by code unit, each in its upper case.
    static int order(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
        return CompareStringOrdinal(a, int(aLength), b, int(bLength), TRUE);
    }
    // The entry of the listed folder named exactly `leaf`; null with `unsure` false when no name
    // matches it even with case ignored, so the file is missing; null with `unsure` true when
    // only a name in another case does, or the name may be a short ("8.3") name, which the
    // system resolves.
    static const Listed* find(const Folder& where, const std::wstring& leaf, bool& unsure) {
        const wchar_t* names = where.names.data();
        const auto first = std::partition_point(where.entries.begin(), where.entries.end(), [&](const Listed& entry) {
            return order(names + entry.nameAt, entry.nameLength, leaf.data(), leaf.size()) == CSTR_LESS_THAN;
        });
        unsure = leaf.find(L'~') != std::wstring::npos;
        for (auto it = first; it != where.entries.end() &&
                              order(names + it->nameAt, it->nameLength, leaf.data(), leaf.size()) == CSTR_EQUAL;
             ++it) {
            if (it->nameLength == leaf.size() && std::wmemcmp(names + it->nameAt, leaf.data(), leaf.size()) == 0)
                return &*it;
            unsure = true;
        }
        return nullptr;
    }
};

PlatformFolderWalk::PlatformFolderWalk() : levels_(new Levels) {}

PlatformFolderWalk::~PlatformFolderWalk() { delete levels_; }

namespace {

// Whether every level of the relative part of `text` from `from` is a plain name: no empty
// level, "." or "..", which the listing could not answer as the system resolves them.
bool plainLevels(const std::wstring& text, size_t from) {
    for (size_t start = from;;) {
        const size_t stop = std::min(text.find(L'\\', start), text.size());
        const size_t length = stop - start;
        if (length == 0 || (length <= 2 && text.compare(start, length, std::wstring(length, L'.')) == 0)) return false;
        if (stop == text.size()) return true;
        start = stop + 1;
    }
}

// The system's answers to a name not in the folder, and to one it could not look up.
constexpr NTSTATUS kNameNotFound = NTSTATUS(0xC0000034L);
constexpr NTSTATUS kNameInvalid = NTSTATUS(0xC0000033L);

// Opens the file named `leaf` in `folder` for its attributes into `file`, as the path API opens
// a name (case ignored), the link itself when it is one: the system looks up the one name, the
// levels above it are the folder's. The system's answer; kNameNotFound when no such name is
// there, any other failure with `file` left invalid.
NTSTATUS openInFolder(HANDLE folder, const std::wstring& leaf, HANDLE& file) {
    file = INVALID_HANDLE_VALUE;
    if (folder == INVALID_HANDLE_VALUE || leaf.empty() || leaf.size() > MAX_PATH) return kNameInvalid;
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(leaf.data());
    name.Length = name.MaximumLength = USHORT(leaf.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE opened = INVALID_HANDLE_VALUE;
    const NTSTATUS answer = NtCreateFile(&opened, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                         FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (answer >= 0) file = opened;
    return answer;
}

}  // namespace

bool PlatformFolderWalk::stamp(const std::string& path, PlatformFileStamp& out) {
    const SystemPath system = systemPath(path);
    // An absolute path is walked as the path API walks it.
    if (system.text.empty() || system.levelsFrom == std::wstring::npos) return platformStampFile(path, out);
    const std::wstring& text = system.text;
    const size_t leaf = text.rfind(L'\\');
    const size_t end = leaf < system.levelsFrom ? std::wstring::npos : leaf;
    const size_t length = end == std::wstring::npos ? 0 : end + 1 - system.levelsFrom;
    if (!levels_->valid || levels_->folder.size() != length ||
        text.compare(system.levelsFrom, length, levels_->folder) != 0) {
        if (!levels_->enter(text, system.levelsFrom, end)) return false;
    }
    const Levels::Folder& where = levels_->listed(text, system.levelsFrom);
    // Only plain names are looked up in the folder held; the others as the path API resolves them.
    const bool plain = plainLevels(text, system.levelsFrom);
    const std::wstring name = plain ? text.substr(leaf + 1) : std::wstring();
    if (where.state == Levels::Folder::State::Listed && plain) {
        bool unsure = false;
        const Levels::Listed* entry = Levels::find(where, name, unsure);
        if (!entry && !unsure) return false;
        // A pipe or device of the host shows in Wine's listing as an empty plain file: an empty
        // file is opened, as one alone.
        if (entry && levels_->listingCurrent && entry->size != 0) {
            if (entry->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
                return false;
            out.size = entry->size;
            splitTicks(entry->written, out.modifiedSeconds, out.modifiedNanoseconds);
            splitTicks(entry->changed, out.changedSeconds, out.changedNanoseconds);
            out.identity = entry->identity;
            return true;
        }
    }
    // The file itself never through a reparse point: stampOf refuses one, and a folder. Looked
    // up by its name in the folder held, not along its path; by the path only when that fails.
    HANDLE file = INVALID_HANDLE_VALUE;
    if (plain && openInFolder(where.handle, name, file) == kNameNotFound) return false;
    if (file == INVALID_HANDLE_VALUE)
        file = CreateFileW(text.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileType(file) == FILE_TYPE_DISK && stampOf(file, out);
    CloseHandle(file);
    return ok;
}

bool platformFlushFile(const std::string& path, PlatformFileStamp* stamp) {
    // Windows flushes only through a handle that may write.
    HANDLE file = openPlainFile(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return false;
    PlatformFileStamp ignored;
    const bool ok = stampOf(file, ignored) && FlushFileBuffers(file) && (!stamp || stampOf(file, *stamp));
    CloseHandle(file);
    return ok;
}

bool platformFlushStream(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    const intptr_t handle = _get_osfhandle(_fileno(file));
    return handle != -1 && FlushFileBuffers(HANDLE(handle));
}

void platformWriteBehind(std::FILE*) {}

bool platformFlushFolder(const std::string&) { return true; }

int64_t platformWallClock() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks = int64_t((uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return (ticks - kSecondsFrom1601To1970 * kTicksPerSecond) * 100;
}

int64_t platformTimeGranularity(const std::string& path, const PlatformFileStamp&) {
    constexpr int64_t kTwoSeconds = 2000000000;
    HANDLE file = openPlainFile(path, FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return kTwoSeconds;
    wchar_t kind[MAX_PATH + 1] = L"";
    const bool named = GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, kind, MAX_PATH + 1);
    CloseHandle(file);
    // FAT and exFAT keep two seconds (and no change time); others are not known here.
    if (!named || (std::wcscmp(kind, L"NTFS") != 0 && std::wcscmp(kind, L"ReFS") != 0)) return kTwoSeconds;
    // NTFS dates a write by the system time, which moves once a clock tick; a tick late at most
    // once more.
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = FALSE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) return kTwoSeconds;
    return 2 * int64_t(increment) * 100;
}

int platformProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? int(info.dwNumberOfProcessors) : 1;
}

// ---- Files for the tools, through the wide functions of the C runtime and the system, so
// that names beyond ASCII work. Links are followed as the system follows them.

namespace {

// The UTF-8 form of a wide name; empty when it has none.
std::string narrowText(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string text(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &text[0], length, nullptr, nullptr);
    return text;
}

// errno for the system's last error, as the C runtime would set it.
void setErrnoFromSystem() {
    const DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
            : error == ERROR_ACCESS_DENIED                                 ? EACCES
                                                                           : EIO;
}

}  // namespace

bool platformPathInfo(const std::string& path, PlatformPathInfo& info) {
    const std::wstring wide = widePath(path);
    struct _stat64 target;
    if (wide.empty()) {
        errno = EINVAL;
        return false;
    }
    if (_wstat64(wide.c_str(), &target) != 0) return false;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    info.kind = (target.st_mode & _S_IFMT) == _S_IFREG   ? PlatformPathInfo::Kind::File
                : (target.st_mode & _S_IFMT) == _S_IFDIR ? PlatformPathInfo::Kind::Folder
                                                         : PlatformPathInfo::Kind::Other;
    info.link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    info.size = uint64_t(target.st_size);
    return true;
}

bool platformListFolder(const std::string& path, std::vector<std::string>& names) {
    const std::wstring wide = widePath(path);
    WIN32_FIND_DATAW found;
    HANDLE search = wide.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW((wide + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        setErrnoFromSystem();
        return false;
    }
    do {
        const std::string name = narrowText(found.cFileName);
        if (!name.empty() && name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

std::string platformResolvedPath(const std::string& path) {
    const std::wstring wide = widePath(path);
    wchar_t* full = wide.empty() ? nullptr : _wfullpath(nullptr, wide.c_str(), 0);
    if (!full) return std::string();
    std::wstring resolved = full;
    std::free(full);
    if (GetFileAttributesW(resolved.c_str()) == INVALID_FILE_ATTRIBUTES) {
        setErrnoFromSystem();
        return std::string();
    }
    std::replace(resolved.begin(), resolved.end(), L'\\', L'/');
    return narrowText(resolved);
}

bool platformIsTerminal(std::FILE* stream) { return stream && _isatty(_fileno(stream)); }

bool platformReadPassword(const std::string& prompt, std::string& password) {
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return false;
    HANDLE output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    DWORD done = 0;
    if (output != INVALID_HANDLE_VALUE) WriteFile(output, prompt.data(), DWORD(prompt.size()), &done, nullptr);
    DWORD saved = 0;
    const bool haveMode = GetConsoleMode(input, &saved) != 0;
    if (haveMode) SetConsoleMode(input, saved & ~DWORD(ENABLE_ECHO_INPUT));
    char c;
    while (ReadFile(input, &c, 1, &done, nullptr) && done == 1 && c != '\n')
        if (c != '\r') password += c;
    if (haveMode) SetConsoleMode(input, saved);
    // The typed line end was not echoed; the next output starts on a line of its own.
    if (output != INVALID_HANDLE_VALUE) {
        WriteFile(output, "\r\n", 2, &done, nullptr);
        CloseHandle(output);
    }
    CloseHandle(input);
    return true;
}

int platformOpenDescriptor(const std::string& path, PlatformDescriptorMode mode) {
    const std::wstring wide = widePath(path);
    if (wide.empty()) {
        errno = EINVAL;
        return -1;
    }
    const int common = _O_BINARY | _O_NOINHERIT;
    switch (mode) {
    case PlatformDescriptorMode::Read: return _wopen(wide.c_str(), common | _O_RDONLY | _O_SEQUENTIAL);
    // Windows keeps no permission bits: the folder's access list decides who reads a new file.
    case PlatformDescriptorMode::CreatePrivate:
        return _wopen(wide.c_str(), common | _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    case PlatformDescriptorMode::Create: break;
    }
    return _wopen(wide.c_str(), common | _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
}

int64_t platformReadDescriptor(int descriptor, void* data, size_t length) {
    return _read(descriptor, data, unsigned(std::min<size_t>(length, INT_MAX)));
}

bool platformWriteDescriptor(int descriptor, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const int written = _write(descriptor, bytes, unsigned(std::min<size_t>(length, INT_MAX)));
        if (written < 0) return false;
        bytes += written;
        length -= size_t(written);
    }
    return true;
}

int platformCloseDescriptor(int descriptor) { return _close(descriptor); }

bool platformCreatePipe(int& readEnd, int& writeEnd) {
    int ends[2];
    if (_pipe(ends, 1 << 20, _O_BINARY | _O_NOINHERIT) != 0) return false;
    readEnd = ends[0];
    writeEnd = ends[1];
    return true;
}

// ---- TCP sockets. Each socket is non-blocking and tied to an event of its own for all its
// network events, so that every wait is one WSAWaitForMultipleEvents on that event, the cancel
// event and the time-out: a stalled peer or a shutdown never leaves a thread blocked in the
// kernel.

struct PlatformCancel {
    std::atomic<bool> raised{false};
    // Manual-reset: once set it stays set and wakes every wait that includes it.
    HANDLE event = nullptr;
};

namespace {

// What PlatformSocket points to: the socket and its event.
struct WinSocket {
    SOCKET socket = INVALID_SOCKET;
    // Signalled by Windows Sockets for FD_CONNECT, FD_READ, FD_WRITE and FD_CLOSE. It is only
    // a hint: after every wake the operation itself is tried again.
    WSAEVENT event = WSA_INVALID_EVENT;
};

WinSocket* fromHandle(PlatformSocket handle) { return reinterpret_cast<WinSocket*>(handle); }

void destroy(WinSocket* socket) {
    if (socket->socket != INVALID_SOCKET) closesocket(socket->socket);
    if (socket->event != WSA_INVALID_EVENT) WSACloseEvent(socket->event);
    delete socket;
}

enum class WaitResult { Ready, TimedOut, Failed, Cancelled };

// Waits until one of the socket's network events is recorded (the caller retries its
// operation then), the time-out passes or the cancel is raised. `events` receives what was
// recorded.
WaitResult waitForSocket(WinSocket* socket, int timeoutMs, const PlatformCancel* cancel,
                         WSANETWORKEVENTS& events) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel && cancel->raised.load()) return WaitResult::Cancelled;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return WaitResult::TimedOut;
        // The cancel comes first: when both are set, the lower index is reported.
        WSAEVENT handles[2];
        DWORD count = 0;
        if (cancel && cancel->event) handles[count++] = cancel->event;
        handles[count++] = socket->event;
        const DWORD woken = WSAWaitForMultipleEvents(count, handles, FALSE, DWORD(left.count()), FALSE);
        if (woken == WSA_WAIT_TIMEOUT) continue;
        if (woken == WSA_WAIT_FAILED) return WaitResult::Failed;
        if (count == 2 && woken == WSA_WAIT_EVENT_0) return WaitResult::Cancelled;
        // Clears the record and resets the event for the next wait.
        if (WSAEnumNetworkEvents(socket->socket, socket->event, &events) != 0) return WaitResult::Failed;
        return WaitResult::Ready;
    }
}

int clampToInt(size_t length) { return int(std::min<size_t>(length, INT_MAX)); }

}  // namespace

PlatformCancel* platformCreateCancel() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) return nullptr;
    PlatformCancel* cancel = new PlatformCancel;
    cancel->event = event;
    return cancel;
}

void platformRaiseCancel(PlatformCancel* cancel) {
    if (!cancel || cancel->raised.exchange(true)) return;
    SetEvent(cancel->event);
}

bool platformCancelRaised(const PlatformCancel* cancel) { return cancel && cancel->raised.load(); }

void platformDestroyCancel(PlatformCancel* cancel) {
    if (!cancel) return;
    CloseHandle(cancel->event);
    delete cancel;
}

PlatformSocket platformConnect(const PlatformAddress& address, int timeoutMs, const PlatformCancel* cancel) {
    const sockaddr* target = reinterpret_cast<const sockaddr*>(address.bytes);
    WinSocket* socket = new WinSocket;
    // Not inherited by the game, which we start while our sockets may still be open.
    socket->socket = WSASocketW(target->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket->socket == INVALID_SOCKET) socket->socket = ::socket(target->sa_family, SOCK_STREAM, IPPROTO_TCP);
    socket->event = WSACreateEvent();
    // Selecting events makes the socket non-blocking.
    if (socket->socket == INVALID_SOCKET || socket->event == WSA_INVALID_EVENT ||
        WSAEventSelect(socket->socket, socket->event, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        destroy(socket);
        return kNoSocket;
    }
    bool connected = connect(socket->socket, target, address.length) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        WSANETWORKEVENTS events{};
        // Other events cannot come before the connection is made; wait for its outcome.
        while (!(events.lNetworkEvents & FD_CONNECT)) {
            if (waitForSocket(socket, timeoutMs, cancel, events) != WaitResult::Ready) break;
        }
        connected = (events.lNetworkEvents & FD_CONNECT) && events.iErrorCode[FD_CONNECT_BIT] == 0;
    }
    if (!connected) {
        destroy(socket);
        return kNoSocket;
    }
    return reinterpret_cast<PlatformSocket>(socket);
}

bool platformSendAll(PlatformSocket handle, const char* data, size_t length, int timeoutMs,
                     const PlatformCancel* cancel) {
    WinSocket* socket = fromHandle(handle);
    while (length > 0) {
        if (cancel && cancel->raised.load()) return false;
        const int sent = send(socket->socket, data, clampToInt(length), 0);
        if (sent > 0) {
            data += sent;
            length -= size_t(sent);
            continue;
        }
        // A send that would block re-arms FD_WRITE, which the wait then sees.
        if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
        WSANETWORKEVENTS events{};
        if (waitForSocket(socket, timeoutMs, cancel, events) != WaitResult::Ready) return false;
    }
    return true;
}

int64_t platformReceive(PlatformSocket handle, char* buffer, size_t capacity, int timeoutMs,
                        const PlatformCancel* cancel) {
    WinSocket* socket = fromHandle(handle);
    for (;;) {
        // Checked before every receive too: a peer that never pauses must not outlast a cancel.
        if (cancel && cancel->raised.load()) return kSocketCancelled;
        const int received = recv(socket->socket, buffer, clampToInt(capacity), 0);
        if (received >= 0) return received;
        // A receive that would block re-arms FD_READ; FD_CLOSE covers the peer going away.
        if (WSAGetLastError() != WSAEWOULDBLOCK) return kSocketFailed;
        WSANETWORKEVENTS events{};
        switch (waitForSocket(socket, timeoutMs, cancel, events)) {
        case WaitResult::Ready: break;
        case WaitResult::TimedOut: return kSocketTimedOut;
        case WaitResult::Cancelled: return kSocketCancelled;
        case WaitResult::Failed: return kSocketFailed;
        }
    }
}

void platformCloseSocket(PlatformSocket handle) {
    if (handle != kNoSocket) destroy(fromHandle(handle));
}

void platformShowMessage(const std::string& caption, const std::string& text) {
    // Nothing goes to standard error: SDL's entry wrapper keeps it in "stderr.txt" beside the
    // program, which stays behind when it is not empty.
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING | MB_TOPMOST);
}

void platformPlaceWindow() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) <= 0) return;
    // A null insert-after handle is the top of the z-order.
    SetWindowPos(info.window, nullptr, 0, 0, 300, 50, SWP_SHOWWINDOW);
}

int platformLaunchGame(const std::string& file) {
    // The shell may hand the start to extensions that need COM on this thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // By its full path in the working directory (the game's folder): given a bare name, the
    // shell would search the system folders and PATH, and start some other kib.exe.
    char path[MAX_PATH];
    const DWORD length = GetFullPathNameA(file.c_str(), MAX_PATH, path, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        if (SUCCEEDED(com)) CoUninitialize();
        return ERROR_PATH_NOT_FOUND;
    }
    const HINSTANCE result = ShellExecuteA(nullptr, "open", path, nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
    // Not a real instance handle: a number, above 32 on success, a failure code otherwise.
    return int(reinterpret_cast<intptr_t>(result));
}

namespace {

// One text value under the user's Internet settings, or empty.
std::string internetSetting(HKEY key, const char* name) {
    char value[2048];
    DWORD type = 0, size = sizeof value - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::string();
    value[size] = '\0';
    return value;
}

}  // namespace

bool platformUserProxy(std::string& server, std::string& overrides) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD enabled = 0, type = 0, size = sizeof enabled;
    const bool on = RegQueryValueExA(key, "ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enabled), &size) ==
                        ERROR_SUCCESS &&
                    type == REG_DWORD && enabled != 0;
    if (on) {
        server = internetSetting(key, "ProxyServer");
        overrides = internetSetting(key, "ProxyOverride");
    }
    RegCloseKey(key);
    return on && !server.empty();
}
