// A change notification on one directory, without its subdirectories: it
// signals when a file name appears, vanishes or is renamed, or a file's
// last-write time changes, and stays signalled until re-armed. Windows gives
// exactly this (FindFirstChangeNotificationA with FILE_NOTIFY_CHANGE_FILE_NAME |
// FILE_NOTIFY_CHANGE_LAST_WRITE); Linux builds it from inotify on the folder
// (creations, deletions, both halves of a rename, writes closed and attribute
// changes, which is where a touched time shows), the fd being readable while
// events are queued. The waitable is handed out as an opaque intptr_t (the
// HANDLE, or the fd to poll for reading) so that the engine's wait can take it
// beside its other objects; a waitable type of the platform's own was not
// available when this was written.
#pragma once

#include <cstdint>

#include "platform/Files.h"

namespace kivro::platform {

void CloseChangeNotification(intptr_t handle);  // FindCloseChangeNotification / close
using UniqueChangeNotification = UniqueNative<CloseChangeNotification>;

class DirWatch {
public:
    // Starts watching dir; 0 or the system's code. A second Open replaces the first.
    [[nodiscard]] uint32_t Open(const char* dir);
    // Clears the signal so that the next change signals again (FindNextChange-
    // Notification / draining the queued events). Call it before looking at the
    // directory: a change made while the caller looks then signals again, on
    // both systems, instead of being drained unseen on Linux.
    [[nodiscard]] uint32_t Rearm();
    // Waits up to timeoutMs for the signal; true when signalled. For callers that
    // wait on nothing else (tests, tools); the engine waits on NativeWaitable.
    bool Wait(uint32_t timeoutMs) const;

    bool IsOpen() const { return notification_.valid(); }
    void Close() { notification_.reset(); }
    // Windows: the notification HANDLE; Linux: the inotify fd (readable = signalled).
    // -1 when not open. Owned by this object.
    intptr_t NativeWaitable() const { return notification_.get(); }

private:
    UniqueChangeNotification notification_;
};

}  // namespace kivro::platform
