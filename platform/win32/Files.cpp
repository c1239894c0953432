// Win32 files and listings: CreateFileA with the share modes the transfer
// relies on, ReadFile/WriteFile/SetFilePointer/GetFileSize, MoveFileExA and
// DeleteFileA, FindFirstFileA for listings and single look-ups (reparse points
// reported as not plain files), last-write times through FileTimeToLocalFile-
// Time (the bias in force now, as Explorer shows them) and FileTimeToSystemTime.
#include "platform/Files.h"

#include <windows.h>

#include <utility>

#include "text/Text.h"

namespace kivro::platform {
namespace {

HANDLE Handle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
intptr_t Native(HANDLE handle) {
    return reinterpret_cast<intptr_t>(handle);
}

// A failed call that left no code still reports a failure.
uint32_t Error() {
    DWORD code = GetLastError();
    return code != 0 ? code : ERROR_GEN_FAILURE;
}

void FillFromFindData(DirEntry& entry, const WIN32_FIND_DATAA& data) {
    TextCopy(entry.Name, sizeof entry.Name, data.cFileName, sizeof data.cFileName);
    entry.Name[sizeof entry.Name - 1] = '\0';
    entry.Directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A link or other reparse point: never taken for what it points at.
    entry.Special = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.Hidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    entry.System = (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    entry.Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    FILETIME local;
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToSystemTime(&local, &st)) {
        st = SYSTEMTIME{};
    }
    entry.LastWrite = {st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                       st.wMinute, st.wSecond, st.wMilliseconds};
}

bool HasWildcard(const char* path) {
    for (; *path; ++path) {
        if (*path == '*' || *path == '?') return true;
    }
    return false;
}

}  // namespace

void CloseFileHandle(intptr_t handle) {
    CloseHandle(Handle(handle));
}
void CloseFindHandle(intptr_t handle) {
    FindClose(Handle(handle));
}

Result File::OpenRead(const char* path) {
    Close();
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Result(Error());
    file_.reset(Native(h));
    return {};
}

Result File::OpenPlainRead(const char* path) {
    Close();
    // The reparse point itself, not its target, so that it can be refused.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Result(Error());
    UniqueFile file(Native(h));
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return Result(Error());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Result(ERROR_ACCESS_DENIED);
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ||
        GetFileType(h) != FILE_TYPE_DISK)
        return Result(kNotPlainFile);
    file_ = std::move(file);
    return {};
}

Result File::CreateNew(const char* path) {
    Close();
    // CREATE_NEW fails on any existing name, a reparse point included.
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Result(Error());
    file_.reset(Native(h));
    return {};
}

Result File::Create(const char* path) {
    Close();
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Result(Error());
    file_.reset(Native(h));
    return {};
}

Result File::Read(void* buffer, uint32_t size, uint32_t& done) {
    DWORD n = 0;
    BOOL ok = ReadFile(Handle(file_.get()), buffer, size, &n, nullptr);
    done = n;
    return Result(ok ? 0 : Error());
}

Result File::Write(const void* data, uint32_t size, uint32_t& done) {
    done = 0;
    const char* p = static_cast<const char*>(data);
    while (done < size) {
        DWORD n = 0;
        if (!WriteFile(Handle(file_.get()), p + done, size - done, &n, nullptr))
            return Result(Error());
        if (n == 0) return Result(ERROR_WRITE_FAULT);
        done += n;
    }
    return {};
}

Result File::Seek(int64_t offset, SeekOrigin origin, uint64_t* position) {
    DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN
                   : origin == SeekOrigin::End ? FILE_END
                                               : FILE_CURRENT;
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(0);
    DWORD low =
        SetFilePointer(Handle(file_.get()), static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
    // INVALID_SET_FILE_POINTER is also a valid low half; only the code tells.
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return Result(Error());
    if (position) *position = (static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low;
    return {};
}

Result File::Size(uint64_t& size) const {
    DWORD high = 0;
    SetLastError(0);
    DWORD low = GetFileSize(Handle(file_.get()), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return Result(Error());
    size = (static_cast<uint64_t>(high) << 32) | low;
    return {};
}

const uint32_t kNotPlainFile = ERROR_CANT_ACCESS_FILE;

bool IsNotFound(Result result) {
    const uint32_t code = result.Code();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

Result MoveReplacing(const char* from, const char* to) {
    return Result(MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : Error());
}

Result RemoveFile(const char* path) {
    return Result(DeleteFileA(path) ? 0 : Error());
}

Result DirListing::Open(const char* dir) {
    Close();
    if (dir[0] == '\0') return Result(ERROR_PATH_NOT_FOUND);
    char pattern[MAX_PATH + 4];
    JoinPath(pattern, sizeof pattern, dir, "*");
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern, &data);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // A root folder without entries: listed, and empty.
        return Result(code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES ? 0 : Error());
    }
    find_.reset(Native(h));
    FillFromFindData(pending_, data);
    havePending_ = true;
    return {};
}

bool DirListing::Next(DirEntry& entry) {
    if (havePending_) {
        havePending_ = false;
        entry = pending_;
        return true;
    }
    if (!find_.valid()) return false;
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(Handle(find_.get()), &data)) {
        Close();
        return false;
    }
    FillFromFindData(entry, data);
    return true;
}

void DirListing::Close() {
    find_.reset();
    havePending_ = false;
}

Result FindFile(const char* path, DirEntry& entry) {
    if (path[0] == '\0') return Result(ERROR_PATH_NOT_FOUND);
    // A look-up of one file: a pattern would find some other file.
    if (HasWildcard(path)) return Result(ERROR_INVALID_NAME);
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
    if (h == INVALID_HANDLE_VALUE) return Result(Error());
    FindClose(h);
    FillFromFindData(entry, data);
    return {};
}

Result DirectoryExists(const char* path) {
    if (path[0] == '\0') return Result(ERROR_PATH_NOT_FOUND);
    // GetFileAttributesA rather than a search: a search cannot name a root
    // folder such as "C:\", the default sync folder.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Result(Error());
    return Result((attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY);
}

}  // namespace kivro::platform
