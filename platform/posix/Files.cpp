// Linux files and listings: open/read/write/lseek/fstat, readdir with fstatat
// on the directory's own fd (no path building per entry), lstat for single look-
// ups; links are looked at, never through. Windows' share modes have no equivalent here; open file
// description locks (F_OFD_SETLK) stand in for them, so two openers that both come through this
// file exclude each other as the Windows share modes would, while a writer that takes no lock is
// not seen. Leases would see every writer, but breaking one signals the holder with SIGIO, which
// ends a process that does not catch it.
#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "text/Text.h"

namespace kivro::platform {
namespace {

int Fd(intptr_t handle) {
    return static_cast<int>(handle);
}
DIR* Dir(intptr_t handle) {
    return reinterpret_cast<DIR*>(handle);
}

uint32_t Errno() {
    return errno != 0 ? static_cast<uint32_t>(errno) : EIO;
}

// A lock whose kind says how the file is shared; a file system that keeps no
// locks (some network mounts) is used without.
uint32_t LockShared(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
    if (errno == EAGAIN || errno == EACCES) return EAGAIN;
    if (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) return 0;
    return Errno();
}

CalendarTime LocalCalendar(const struct timespec& time) {
    tm t{};
    localtime_r(&time.tv_sec, &t);
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0};
}

void FillFromStat(DirEntry& entry, const struct stat& st) {
    // From lstat: a link is Special whatever it points at.
    entry.Directory = S_ISDIR(st.st_mode);
    entry.Special = !entry.Directory && !S_ISREG(st.st_mode);
    entry.Size = static_cast<uint64_t>(st.st_size);
    entry.LastWrite = LocalCalendar(st.st_mtim);
}

void SetName(DirEntry& entry, const char* name) {
    TextCopy(entry.Name, sizeof entry.Name, name);
    entry.Name[sizeof entry.Name - 1] = '\0';
    entry.Hidden = name[0] == '.';
    entry.System = false;
}

}  // namespace

void CloseFileHandle(intptr_t handle) {
    close(Fd(handle));
}
void CloseFindHandle(intptr_t handle) {
    closedir(Dir(handle));
}

Result File::OpenRead(const char* path) {
    Close();
    UniqueFile file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return Result(Errno());
    struct stat st;
    if (fstat(Fd(file.get()), &st) != 0) return Result(Errno());
    if (S_ISDIR(st.st_mode)) return Result(EISDIR);
    if (uint32_t error = LockShared(Fd(file.get()), F_RDLCK)) return Result(error);
    file_ = std::move(file);
    return {};
}

Result File::OpenPlainRead(const char* path) {
    Close();
    // O_NONBLOCK: opening a fifo for reading would otherwise wait for a writer.
    UniqueFile file(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file.valid()) return Result(Errno());
    struct stat st;
    if (fstat(Fd(file.get()), &st) != 0) return Result(Errno());
    if (S_ISDIR(st.st_mode)) return Result(EISDIR);
    if (!S_ISREG(st.st_mode)) return Result(kNotPlainFile);
    const int flags = fcntl(Fd(file.get()), F_GETFL);
    if (flags < 0 || fcntl(Fd(file.get()), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return Result(Errno());
    if (uint32_t error = LockShared(Fd(file.get()), F_RDLCK)) return Result(error);
    file_ = std::move(file);
    return {};
}

Result File::CreateNew(const char* path) {
    Close();
    UniqueFile file(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid()) return Result(Errno());
    if (uint32_t error = LockShared(Fd(file.get()), F_WRLCK)) return Result(error);
    file_ = std::move(file);
    return {};
}

Result File::Create(const char* path) {
    Close();
    // Not O_TRUNC: the contents are cut only once the lock shows nobody else has it open.
    UniqueFile file(open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!file.valid()) return Result(Errno());
    if (uint32_t error = LockShared(Fd(file.get()), F_WRLCK)) return Result(error);
    if (ftruncate(Fd(file.get()), 0) != 0) return Result(Errno());
    file_ = std::move(file);
    return {};
}

Result File::Read(void* buffer, uint32_t size, uint32_t& done) {
    done = 0;
    ssize_t n;
    do {
        n = read(Fd(file_.get()), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Result(Errno());
    done = static_cast<uint32_t>(n);
    return {};
}

Result File::Write(const void* data, uint32_t size, uint32_t& done) {
    done = 0;
    const char* p = static_cast<const char*>(data);
    while (done < size) {
        ssize_t n = write(Fd(file_.get()), p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Result(Errno());
        }
        if (n == 0) return Result(EIO);
        done += static_cast<uint32_t>(n);
    }
    return {};
}

Result File::Seek(int64_t offset, SeekOrigin origin, uint64_t* position) {
    int whence = origin == SeekOrigin::Begin ? SEEK_SET
                 : origin == SeekOrigin::End ? SEEK_END
                                             : SEEK_CUR;
    off_t result = lseek(Fd(file_.get()), static_cast<off_t>(offset), whence);
    if (result < 0) return Result(Errno());
    if (position) *position = static_cast<uint64_t>(result);
    return {};
}

Result File::Size(uint64_t& size) const {
    struct stat st;
    if (fstat(Fd(file_.get()), &st) != 0) return Result(Errno());
    size = static_cast<uint64_t>(st.st_size);
    return {};
}

const uint32_t kNotPlainFile = ELOOP;

bool IsNotFound(Result result) {
    const uint32_t code = result.Code();
    return code == ENOENT || code == ENOTDIR;
}

Result MoveReplacing(const char* from, const char* to) {
    return Result(rename(from, to) == 0 ? 0 : Errno());
}

Result RemoveFile(const char* path) {
    return Result(unlink(path) == 0 ? 0 : Errno());
}

Result DirListing::Open(const char* dir) {
    Close();
    if (dir[0] == '\0') return Result(ENOENT);
    DIR* d = opendir(dir);
    if (d == nullptr) return Result(Errno());
    find_.reset(reinterpret_cast<intptr_t>(d));
    return {};
}

bool DirListing::Next(DirEntry& entry) {
    if (!find_.valid()) return false;
    DIR* d = Dir(find_.get());
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d);
        if (e == nullptr) {
            Close();
            return false;
        }
        SetName(entry, e->d_name);
        if (e->d_type == DT_DIR) {
            // No stat needed to pass over a folder ("." and ".." included).
            entry.Directory = true;
            entry.Special = false;
            entry.Size = 0;
            entry.LastWrite = {};
            return true;
        }
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone since readdir
            // An entry that cannot be looked at.
            entry.Directory = false;
            entry.Special = true;
            entry.Size = 0;
            entry.LastWrite = {};
            return true;
        }
        FillFromStat(entry, st);
        return true;
    }
}

void DirListing::Close() {
    find_.reset();
}

Result FindFile(const char* path, DirEntry& entry) {
    if (path[0] == '\0') return Result(ENOENT);
    struct stat st;
    if (lstat(path, &st) != 0) return Result(Errno());
    const char* slash = std::strrchr(path, '/');
    SetName(entry, slash && slash[1] ? slash + 1 : path);
    FillFromStat(entry, st);
    return {};
}

Result DirectoryExists(const char* path) {
    if (path[0] == '\0') return Result(ENOENT);
    struct stat st;
    if (stat(path, &st) != 0) return Result(Errno());
    return Result(S_ISDIR(st.st_mode) ? 0 : ENOTDIR);
}

}  // namespace kivro::platform
