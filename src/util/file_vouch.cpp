// Vouching for a file by the stamp its verifier took, and placing written files durably.
#include "util/file_vouch.h"

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

// Git's "racily clean" rule, judged against the moment the verification began: the file system
// dates a write by a clock that moves a tick at a time, so a write within the tick of a time
// may leave that time as it is. Only a time a whole tick before `since` rules that out for
// every write from `since` on.
bool precedes(int64_t seconds, int32_t nanoseconds, int64_t since, int64_t tick) {
    return seconds * kNanosecondsPerSecond + nanoseconds + tick <= since;
}

// What a rename leaves alone: the content's size and last write, and the file itself.
bool sameContentStamp(const PlatformFileStamp& a, const PlatformFileStamp& b) {
    return a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.identity == b.identity;
}

}  // namespace

HashStart beginHashing(const std::string& path) {
    HashStart start;
    // The clock first: a write after this is dated no earlier.
    start.startedAt = platformWallClock();
    start.stamped = platformStampFile(path, start.before);
    return start;
}

FileVouch endHashing(const std::string& path, const HashStart& start) {
    FileVouch vouch;
    vouch.stamp = start.before;
    PlatformFileStamp after;
    if (!start.stamped || !platformStampFile(path, after) || !sameContentStamp(start.before, after) ||
        after.changedSeconds != start.before.changedSeconds ||
        after.changedNanoseconds != start.before.changedNanoseconds)
        return vouch;
    const int64_t tick = platformTimeGranularity(path, after);
    // Where the volume keeps no change time (FAT, exFAT) the field holds nothing to judge, and
    // the modification time alone decides.
    vouch.trustworthy = precedes(after.modifiedSeconds, after.modifiedNanoseconds, start.startedAt, tick) &&
                        precedes(after.changedSeconds, after.changedNanoseconds, start.startedAt, tick);
    return vouch;
}

FileVouch vouchBeforeRename(const std::string& path, const FileVouch& vouch) {
    FileVouch kept = vouch;
    PlatformFileStamp now;
    kept.trustworthy = vouch.trustworthy && platformStampFile(path, now) && sameContentStamp(vouch.stamp, now) &&
                       now.changedSeconds == vouch.stamp.changedSeconds &&
                       now.changedNanoseconds == vouch.stamp.changedNanoseconds;
    return kept;
}

FileVouch vouchAfterRename(const std::string& path, const FileVouch& vouch) {
    FileVouch moved;
    moved.placed = true;
    // Stamped either way: a record that cannot vouch for the file still tells it from a
    // changed one by the stamp, and reads it before it believes its bytes.
    if (!platformStampFile(path, moved.stamp)) return moved;
    moved.trustworthy = vouch.trustworthy && sameContentStamp(vouch.stamp, moved.stamp);
    return moved;
}

bool placeVerifiedFile(const std::string& from, const std::string& to, FileVouch* vouch) {
    PlatformFileStamp flushed;
    if (!platformFlushFile(from, &flushed)) return false;
    // From the rename on, others may write the file under its name; before it, only this
    // verifier knows the temporary name.
    const int64_t placedAt = platformWallClock();
    if (!platformRenameFile(from, to)) return false;
    if (!vouch) return true;
    *vouch = FileVouch();
    vouch->placed = true;
    if (!platformStampFile(to, vouch->stamp)) return true;
    // The rename itself sets the change time, so only the last write can be judged; a change
    // that also puts the write time back within the rename's tick is beyond what times show.
    vouch->trustworthy =
        sameContentStamp(flushed, vouch->stamp) &&
        precedes(flushed.modifiedSeconds, flushed.modifiedNanoseconds, placedAt, platformTimeGranularity(to, flushed));
    return true;
}
