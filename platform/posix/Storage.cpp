// Linux storage primitives: whole-file reads, atomic replacement (temporary
// file in the same folder, fsync, rename, then fsync of the folder) and
// creation that publishes a finished file with link(), which fails rather than
// replaces when a file appeared meanwhile. Files are small and read rarely, so
// each call reads or writes the whole text; streaming was not worth its code.
#include "platform/Storage.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Unique.h"
#include "text/Text.h"

namespace kivro::platform {

namespace {

void CloseFd(int fd) {
    close(fd);
}
using UniqueFd = Unique<int, -1, CloseFd>;

bool MakeFolders(const std::string& folder) {
    if (folder.empty()) return true;
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash)))
        return false;
    return mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes text to a new temporary file beside path and syncs it; returns its
// name, or an empty text on failure (nothing is left behind then). The file
// gets keepMode when given (the file it replaces), else 0666 less the umask.
std::string WriteTemporary(const std::string& path, const std::string& text,
                           const mode_t* keepMode) {
    if (!MakeFolders(FolderOf(path))) return std::string();
    static unsigned counter = 0;
    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && fd.get() < 0; ++attempt) {
        temp = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        fd.reset(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.get() < 0 && errno != EEXIST) return std::string();
    }
    if (fd.get() < 0) return std::string();
    // Once fsync succeeded the data is on disk; close cannot lose it.
    bool ok = (!keepMode || fchmod(fd.get(), *keepMode) == 0) && WriteAll(fd.get(), text) &&
              fsync(fd.get()) == 0;
    fd.reset();
    if (!ok) {
        const int error = errno;
        unlink(temp.c_str());
        errno = error;
        return std::string();
    }
    return temp;
}

// The failure errno holds, as a Result (EIO should a call fail without one).
Result Failure() {
    return Result(errno != 0 ? static_cast<uint32_t>(errno) : EIO);
}

void SyncFolder(const std::string& path) {
    UniqueFd folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) fsync(folder.get());
}

// A file kept as a link (dotfile managers do that) is written where the link
// points, so the link survives.
std::string WriteTarget(const std::string& path) {
    char resolved[PATH_MAX];
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(path.c_str(), resolved))
        return resolved;
    return path;
}

}  // namespace

const char* DefaultBTPortName() {
    return "rfcomm0";
}

const char* DefaultUSBPortName() {
    return "ttyACM0";
}

void DefaultSyncFolder(char* folder, size_t capacity) {
    std::string home = HomeFolder();
    std::string sync = home.empty() ? std::string("KivroProxy") : home + "/KivroProxy";
    TextCopy(folder, capacity, sync.c_str());
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    passwd pw;
    passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return std::string();
}

Result ReadWholeFile(const char* path, std::string& text) {
    text.clear();
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? Result() : Failure();
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Failure();
        if (n == 0) return {};
        text.append(buf, static_cast<size_t>(n));
    }
}

Result ReplaceFileAtomically(const char* path, const std::string& text) {
    const std::string target = WriteTarget(path);
    struct stat st;
    mode_t mode = 0;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists) mode = st.st_mode & 07777;
    std::string temp = WriteTemporary(target, text, exists ? &mode : nullptr);
    if (temp.empty()) return Failure();
    if (rename(temp.c_str(), target.c_str()) != 0) {
        const Result failed = Failure();
        unlink(temp.c_str());
        return failed;
    }
    SyncFolder(target);
    return {};
}

Result CreateFileOnce(const char* path, const std::string& text) {
    struct stat st;
    if (lstat(path, &st) == 0) return {};
    if (errno != ENOENT) return Failure();
    std::string temp = WriteTemporary(path, text, nullptr);
    if (temp.empty()) return Failure();
    // link() publishes the whole file at once and fails when a file appeared
    // meanwhile, which is then kept. Where links are not supported, rename.
    Result published;
    if (link(temp.c_str(), path) != 0 && errno != EEXIST && lstat(path, &st) != 0)
        published = rename(temp.c_str(), path) == 0 ? Result() : Failure();
    unlink(temp.c_str());
    if (published.Ok()) SyncFolder(path);
    return published;
}

}  // namespace kivro::platform
