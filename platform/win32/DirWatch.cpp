// Win32 change notification: FindFirstChangeNotificationA on the folder alone
// for file names and last-write times (0x11); the handle is the waitable and
// FindNextChangeNotification re-arms it, keeping changes made in between. A
// removed folder is told by its identity: the path then names no folder, or
// another one.
#include "platform/DirWatch.h"

#include <windows.h>

#include <cstring>
#include <utility>

namespace kivro::platform {

namespace {
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
static_assert(kNotifyFilter == 0x11);

uint32_t Error() {
    DWORD code = GetLastError();
    return code != 0 ? code : ERROR_GEN_FAILURE;
}

// The folder's identity (volume serial and file index); 0 when it cannot be
// opened. Opened with every share mode, so that nobody is kept from anything.
uint64_t FolderIdentity(const char* dir) {
    HANDLE h = CreateFileA(dir, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    uint64_t identity = 0;
    if (GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        identity = (uint64_t(info.dwVolumeSerialNumber) << 32) ^
                   ((uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow) ^ 1;
    }
    CloseHandle(h);
    return identity;
}
}  // namespace

void CloseChangeNotification(void* raw) {
    FindCloseChangeNotification(raw);
}

Result DirWatch::Open(const char* dir) {
    Close();
    if (dir[0] == '\0') return Result(ERROR_PATH_NOT_FOUND);
    HANDLE h = FindFirstChangeNotificationA(dir, FALSE, kNotifyFilter);
    if (h == INVALID_HANDLE_VALUE) return Result(Error());
    notification_.reset(h);
    std::strncpy(dir_, dir, sizeof dir_ - 1);
    identity_ = FolderIdentity(dir_);
    return {};
}

bool DirWatch::Gone() const {
    if (!IsOpen()) return false;
    const uint64_t now = FolderIdentity(dir_);
    return now == 0 || (identity_ != 0 && now != identity_);
}

Result DirWatch::Rearm() {
    if (!notification_.valid()) return Result(ERROR_INVALID_HANDLE);
    return Result(FindNextChangeNotification(notification_.get()) ? 0 : Error());
}

}  // namespace kivro::platform
