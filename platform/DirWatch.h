// A change notification on one directory, without its subdirectories: it
// signals when a file name appears, vanishes or is renamed, or a file's
// last-write time changes, and stays signalled until re-armed. Windows gives
// exactly this (FindFirstChangeNotificationA with FILE_NOTIFY_CHANGE_FILE_NAME |
// FILE_NOTIFY_CHANGE_LAST_WRITE); Linux builds it from inotify on the folder
// (creations, deletions, both halves of a rename, writes, closed writes and
// attribute changes), the fd being readable while events are queued. The
// engine waits on it through Handle(), beside its events, with WaitAny.
//
// A watch belongs to the folder it was opened on, not to its path: once that
// folder is removed (or moved away) it sees nothing of a folder made again
// under the same name. Gone() tells the owner so, who then opens a new watch.
#pragma once

#include <cstdint>

#include "platform/Event.h"
#include "platform/Result.h"
#include "platform/Unique.h"
#include "text/Text.h"

namespace kivro::platform {

// Releases one change notification: FindCloseChangeNotification on its HANDLE;
// on Linux the inotify fd closed and the WaitSource that holds it freed.
void CloseChangeNotification(void* raw);

// Move-only, through its owner of the notification.
class DirWatch {
  public:
    // Starts watching dir. A second Open replaces the first.
    Result Open(const char* dir);
    // Clears the signal so that the next change signals again (FindNextChange-
    // Notification / draining the queued events). Best called before looking at
    // the directory: a change made while the caller looks then signals again on
    // both systems. Called after looking, Windows still keeps such a change but
    // Linux drains it unseen until the next one.
    Result Rearm();
    // Waits up to timeoutMs for the signal alone; true when signalled.
    bool Wait(uint32_t timeoutMs) const {
        if (!IsOpen()) return false;
        Waitable self = Handle();
        int signalled = kWaitTimeout;
        return WaitAny(&self, 1, timeoutMs, signalled).Ok() && signalled == 0;
    }

    // True once the watched folder is known to be gone: removed or moved away
    // (Linux: the kernel said so while Rearm drained the queue; Windows: the
    // path no longer names the folder the watch was opened on).
    bool Gone() const;

    bool IsOpen() const { return notification_.valid(); }
    void Close() { notification_.reset(); }
    // For WaitAny; empty when not open. Stays valid while this watch (or the one
    // it is moved into) stays open.
    Waitable Handle() const { return Waitable(notification_.get()); }

  private:
    // The HANDLE on Windows; on Linux a WaitSource holding the inotify fd, which
    // is what WaitAny waits on there.
    Unique<void*, nullptr, CloseChangeNotification> notification_;
#if defined(_WIN32)
    uint64_t identity_ = 0;         // volume serial and file index of the folder
    char dir_[kPathCapacity] = {};  // the folder's path, to look at it again
#else
    bool gone_ = false;  // the watch was removed with its folder
#endif
};

}  // namespace kivro::platform
