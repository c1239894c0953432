// The directory monitor: which files of the sync folder are due to be sent. It
// keeps one node per regular file with its size and last-write time, compares
// them with the folder on each Rescan and hands out one due file at a time. The
// order is part of the behaviour (new nodes go to the front, each Rescan starts
// the hand-out again from the front, a file written in the current second holds
// back those behind it), so the nodes stay a singly linked list; a hash index by
// upper-cased name sits beside it so a scan of n files costs n look-ups rather
// than n list walks. The monitor watches nothing itself: the engine owns the
// change notification and calls Rescan when it fires.
//
// Names compare as the file system compares them (SameFileName): a Linux
// folder may hold A.txt and a.txt side by side, and each is its own file. A
// file counts as changed when its time or its size differs from the list's: an
// edit within the second of the last scan keeps the time, and a send too many
// costs less than an edit lost. The engine's temporary file for an incoming
// transfer (kIncomingTempName) is never listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "platform/Result.h"
#include "platform/System.h"
#include "sync/ExcludeList.h"
#include "text/Text.h"

namespace kivro {

struct FileEntry {
    char Name[kPatternCapacity];  // without directory; NUL-terminated unless full
    uint32_t Size;                // low 32 bits of the size in bytes
    uint32_t Time;                // last write, CalendarSeconds of the local time
    bool Pending;                 // new or changed, not handed out yet
    bool Seen;                    // found by the latest scan
    FileEntry* Next;
};

// The name under which a file from the phone is written until it is complete;
// it then replaces its target in one step.
inline constexpr char kIncomingTempName[] = ".kivroproxy-incoming.tmp";

// True when a and b (texts of at most kPatternCapacity) name the same file of
// a folder: byte for byte on Linux, without regard to case on Windows.
bool SameFileName(const char* a, const char* b);

// Seconds since 1970-01-01 00:00 of a local calendar time by plain calendar
// arithmetic (Gregorian leap years, no time-zone correction), modulo 2^32. Only
// equality and order of two such values mean anything.
uint32_t CalendarSeconds(const platform::CalendarTime& time);

class DirMonitor {
  public:
    // The current local time as CalendarSeconds; replaceable so tests can hold
    // the clock still.
    using Clock = std::function<uint32_t()>;

    DirMonitor();
    explicit DirMonitor(Clock now);
    ~DirMonitor();
    DirMonitor(const DirMonitor&) = delete;
    DirMonitor& operator=(const DirMonitor&) = delete;

    // Starts monitoring dir (at most 260 characters are kept). Fails when dir is
    // not an existing directory, and nothing changes. Otherwise the file list is
    // rebuilt and every file found counts as in step with the phone.
    platform::Result Open(const char* dir);
    void ClearExcludes();
    // Adds the patterns of a pattern list (ExcludeList::Add); files they match are
    // passed over from the next Rescan on.
    void AddExcludes(const char* list, size_t capacity);
    // Compares the list with the folder: new files and files with a new time
    // become due, vanished and newly excluded files are forgotten, and the
    // hand-out starts again from the front. A folder that cannot be listed
    // empties the list.
    void Rescan();
    // Copies the name of the next due file no larger than maxSize into name (cut
    // to capacity) and counts it as handed out. False when none is due now, or
    // when the first due file was written in the current second or later: it
    // holds back the rest until a later call in a later second.
    bool NextChangedFile(uint32_t maxSize, char* name, size_t capacity);
    // Records that the file name (written from the phone) is in step in its
    // present size and time, so the next Rescan does not send it back.
    void MarkInSync(const char* name);

    // Makes a listed file due again (a transfer of it was cut off) and starts
    // the hand-out from the front; false when the list has no such file.
    bool MarkDue(const char* name);

    void AddExcludes(const char* list) { AddExcludes(list, SIZE_MAX); }

    // For inspection: the list from the front, the hand-out position, the patterns
    // and the folder being monitored (empty until Open succeeds).
    const FileEntry* Files() const { return files_; }
    const FileEntry* Cursor() const { return cursor_; }
    const ExcludeList& Excludes() const { return excludes_; }
    const char* Directory() const { return dir_; }

  private:
    struct NameHash {
        size_t operator()(const char* name) const;
    };
    struct NameEqual {
        bool operator()(const char* a, const char* b) const;
    };

    FileEntry* Find(const char* name);  // name: a kPatternCapacity text
    FileEntry* AddFront(const char* name);
    void FreeFiles();

    char dir_[kPathCapacity] = {};
    FileEntry* files_ = nullptr;
    FileEntry* cursor_ = nullptr;
    ExcludeList excludes_;
    // Every node of files_, keyed by its own Name (SameFileName).
    std::unordered_map<const char*, FileEntry*, NameHash, NameEqual> index_;
    Clock now_;
};

}  // namespace kivro
