// The Linux settings store: the settings key as a REGEDIT4 file, over the
// platform's whole-file primitives. The file is read again for every call, so
// an edit made while the program runs is seen by the next load and never
// overwritten by a stale copy (a cache keyed on the file's time stamp can miss
// an edit within the clock's granularity). Every save re-reads the file,
// changes its lines and replaces the file atomically, so a crash leaves either
// the old or the new file. A file that cannot be read, or holds NUL bytes (a
// UTF-16 export, a binary), is never written over: its values count as missing
// and every store fails.
#include "settings/SettingsStorage.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/Storage.h"
#include "settings/RegFile.h"
#include "settings/SettingsStore.h"
#include "text/Text.h"

namespace kivro {

namespace {

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
        return platform::ReplaceFileAtomically(path_.c_str(), file_.Text()).Ok();
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
        if (platform::ReadWholeFile(path_.c_str(), text).Failed()) return false;
        writable_ = text.find('\0') == std::string::npos;
        if (writable_) file_.Parse(text);
        return true;
    }

    std::string path_;
    RegFile file_;
    bool open_ = false;
    bool writable_ = false;
};

}  // namespace

bool SettingsFilePath(char* path, size_t capacity) {
    std::string folder;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        folder = xdg;
    } else {
        std::string home = platform::HomeFolder();
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
    return platform::CreateFileOnce(path, DefaultSettingsFileText(defaults, keyPath)).Ok();
}

}  // namespace kivro
