// Windows folder names: FindFirstFileA on "dir\*", its record kept in the
// listing's buffer; folder identity from the volume serial number and file
// index (GetFileInformationByHandle), which a link or a second path to the
// same folder share.
#include "platform/DirNames.h"

#include <windows.h>

#include <cstring>

#include "text/Text.h"

namespace kivro::platform {

namespace {

static_assert(sizeof(WIN32_FIND_DATAA) <= 4096, "the find record lives in the listing's buffer");

bool FolderInformation(const char* path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok =
        GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    return ok;
}

}  // namespace

Result DirNames::Open(const char* dir) {
    Close();
    if (dir[0] == '\0') return Result(ERROR_PATH_NOT_FOUND);
    char pattern[kPathCapacity];
    if (!JoinPath(pattern, sizeof pattern, dir, "*")) return Result(ERROR_FILENAME_EXCED_RANGE);
    auto* record = reinterpret_cast<WIN32_FIND_DATAA*>(buffer_);
    HANDLE h = FindFirstFileA(pattern, record);
    if (h == INVALID_HANDLE_VALUE) return Result(GetLastError());
    find_.reset(reinterpret_cast<intptr_t>(h));
    havePending_ = true;
    return {};
}

const char* DirNames::Next() {
    auto* record = reinterpret_cast<WIN32_FIND_DATAA*>(buffer_);
    while (find_.valid()) {
        if (!havePending_ && !FindNextFileA(reinterpret_cast<HANDLE>(find_.get()), record)) {
            Close();
            return nullptr;
        }
        havePending_ = false;
        const char* name = record->cFileName;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
    }
    return nullptr;
}

void DirNames::Close() {
    find_.reset();
    havePending_ = false;
}

bool SameFolder(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return FolderInformation(a, first) && FolderInformation(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace kivro::platform
