// Win32 change notification: FindFirstChangeNotificationA on the folder alone
// for file names and last-write times (0x11); the handle is the waitable and
// FindNextChangeNotification re-arms it, keeping changes made in between.
#include "platform/DirWatch.h"

#include <windows.h>

#include <utility>

namespace kivro::platform {

namespace {
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
static_assert(kNotifyFilter == 0x11);

uint32_t Error() {
    DWORD code = GetLastError();
    return code != 0 ? code : ERROR_GEN_FAILURE;
}
}  // namespace

void CloseChangeNotification(intptr_t handle) {
    FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle));
}

uint32_t DirWatch::Open(const char* dir) {
    Close();
    if (dir[0] == '\0') return ERROR_PATH_NOT_FOUND;
    HANDLE h = FindFirstChangeNotificationA(dir, FALSE, kNotifyFilter);
    if (h == INVALID_HANDLE_VALUE) return Error();
    notification_.reset(reinterpret_cast<intptr_t>(h));
    return 0;
}

void DirWatch::Close() { notification_.reset(); }

Waitable DirWatch::Handle() const {
    return IsOpen() ? Waitable(reinterpret_cast<void*>(notification_.get())) : Waitable();
}

uint32_t DirWatch::Rearm() {
    if (!notification_.valid()) return ERROR_INVALID_HANDLE;
    return FindNextChangeNotification(reinterpret_cast<HANDLE>(notification_.get())) ? 0 : Error();
}

}  // namespace kivro::platform
