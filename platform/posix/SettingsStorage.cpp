// The Linux settings store: the settings key as a REGEDIT4 file. The file is
// read again for every call, so an edit made while the program runs is seen by
// the next load and never overwritten by a stale copy (a cache keyed on the
// file's time stamp can miss an edit within the clock's granularity). Every
// save re-reads the file, changes its lines and replaces the file atomically
// (temporary file in the same folder, fsync, rename), so a crash leaves either
// the old or the new file. A file that cannot be read, or holds NUL bytes (a
// UTF-16 export, a binary), is never written over: its values count as missing
// and every store fails.
#include "platform/SettingsStorage.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <unistd.h>

#include "settings/RegFile.h"
#include "settings/SettingsStore.h"
#include "text/Text.h"

namespace kivro::platform {

namespace {

// Owner of one open file descriptor.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

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
        unlink(temp.c_str());
        return std::string();
    }
    return temp;
}

void SyncFolder(const std::string& path) {
    UniqueFd folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) fsync(folder.get());
}

// A settings file kept as a link (dotfile managers do that) is written where
// the link points, so the link survives.
std::string WriteTarget(const std::string& path) {
    char resolved[PATH_MAX];
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(path.c_str(), resolved))
        return resolved;
    return path;
}

bool ReplaceAtomically(const std::string& path, const std::string& text) {
    const std::string target = WriteTarget(path);
    struct stat st;
    mode_t mode = 0;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists) mode = st.st_mode & 07777;
    std::string temp = WriteTemporary(target, text, exists ? &mode : nullptr);
    if (temp.empty()) return false;
    if (rename(temp.c_str(), target.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    SyncFolder(target);
    return true;
}

class SettingsFileStore final : public ValueStore {
  public:
    explicit SettingsFileStore(std::string path) : path_(std::move(path)), file_("") {}

    bool Open(const char* keyPath) override {
        file_ = RegFile(std::string("HKEY_CURRENT_USER\\") + keyPath);
        open_ = !path_.empty() && Refresh();
        return open_;
    }

    bool Query(const char* name, void* data, uint32_t& size) override {
        if (!open_ || !Refresh()) return false;
        const RegValue* value = file_.Find(name);
        if (!value) return false;
        const uint32_t have = static_cast<uint32_t>(value->data.size());
        const uint32_t offered = size;
        size = have;
        if (have > offered) return false;
        if (have) std::memcpy(data, value->data.data(), have);
        return true;
    }

    bool Set(const char* name, uint32_t type, const void* data, uint32_t size) override {
        if (!open_ || !Refresh() || !writable_) return false;
        file_.Set(name, type, static_cast<const uint8_t*>(data), size);
        return ReplaceAtomically(path_, file_.Text());
    }

  private:
    // Reads the file again: it is small and read rarely (at start, on a
    // reload, at exit), and a fresh read is the only way to be sure that an
    // edit made meanwhile is neither missed nor overwritten. False when the
    // file exists but cannot be read.
    bool Refresh() {
        writable_ = false;
        file_.Parse("");
        std::string text;
        if (!ReadFile(text)) return false;
        writable_ = text.find('\0') == std::string::npos;
        if (writable_) file_.Parse(text);
        return true;
    }

    // A missing file is an empty one.
    bool ReadFile(std::string& text) {
        UniqueFd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return errno == ENOENT;
        char buf[8192];
        for (;;) {
            ssize_t n = read(fd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            text.append(buf, static_cast<size_t>(n));
        }
    }

    std::string path_;
    RegFile file_;
    bool open_ = false;
    bool writable_ = false;
};

}  // namespace

void FillSystemDefaults(Settings& settings) {
    TextCopy(settings.BTComPort, "rfcomm0");
    TextCopy(settings.USBComPort, "ttyACM0");
    std::string home = HomeFolder();
    std::string sync = home.empty() ? std::string("KivroProxy") : home + "/KivroProxy";
    TextCopy(settings.SyncDir, sync.c_str());
}

bool SettingsFilePath(char* path, size_t capacity) {
    std::string folder;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        folder = xdg;
    } else {
        std::string home = HomeFolder();
        if (home.empty()) return false;
        folder = home + "/.config";
    }
    std::string full = folder + "/kivroproxy/settings.reg";
    if (full.size() >= capacity) return false;
    TextCopy(path, capacity, full.c_str());
    return true;
}

std::unique_ptr<ValueStore> CreateSettingsFileStore(const char* path) {
    return std::make_unique<SettingsFileStore>(path);
}

std::unique_ptr<ValueStore> CreateSettingsValueStore() {
    char path[4096];
    // Without a home folder there is nowhere to keep settings: a store that
    // cannot open leaves every setting at its default, as a missing key does.
    if (!SettingsFilePath(path, sizeof path)) path[0] = '\0';
    return std::make_unique<SettingsFileStore>(path);
}

bool CreateDefaultSettingsFile(const char* path, const Settings& defaults, const char* keyPath) {
    struct stat st;
    if (lstat(path, &st) == 0) return true;
    if (errno != ENOENT) return false;
    std::string temp = WriteTemporary(path, DefaultSettingsFileText(defaults, keyPath), nullptr);
    if (temp.empty()) return false;
    // link() publishes the whole file at once and fails when a file appeared
    // meanwhile, which is then kept. Where links are not supported, rename.
    bool ok = link(temp.c_str(), path) == 0 || errno == EEXIST;
    if (!ok && lstat(path, &st) != 0) ok = rename(temp.c_str(), path) == 0;
    unlink(temp.c_str());
    if (ok) SyncFolder(path);
    return ok;
}

}  // namespace kivro::platform
