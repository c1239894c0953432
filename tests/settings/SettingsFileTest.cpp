// The Linux settings file: where it lives, the file written at first start,
// atomic replacement, edits made while the program runs, and files it must
// never write over.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestStore.h"
#include "settings/RegFile.h"
#include "settings/Settings.h"
#include "settings/SettingsStorage.h"
#include "settings/SettingsStore.h"

namespace kivro::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(SettingsFilePath, FollowsXdgConfigHome) {
    ScopedEnv home("HOME", "/home/anna");
    const struct {
        const char* xdg;
        const char* expected;
    } cases[] = {
        {nullptr, "/home/anna/.config/kivroproxy/settings.reg"},
        {"", "/home/anna/.config/kivroproxy/settings.reg"},
        {"relative/conf", "/home/anna/.config/kivroproxy/settings.reg"},
        {"/srv/conf", "/srv/conf/kivroproxy/settings.reg"},
    };
    for (const auto& c : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
        char path[512];
        ASSERT_TRUE(SettingsFilePath(path, sizeof path));
        EXPECT_STREQ(path, c.expected) << (c.xdg ? c.xdg : "(unset)");
    }
    char tiny[8];
    EXPECT_FALSE(SettingsFilePath(tiny, sizeof tiny));
}

using SettingsFile = StoreTest;

TEST_F(SettingsFile, FirstStartWritesEveryDefaultAfterAComment) {
    const Settings d = DefaultSettings();
    ASSERT_TRUE(CreateDefaultSettingsFile(file_.c_str(), d, kSettingsKeyPath));
    const std::string text = ReadAll(file_);

    RegFile parsed("HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy");
    parsed.Parse(text);
    EXPECT_EQ(parsed.UnreadLines(), 0u);
    EXPECT_EQ(parsed.Find("WindowPos"), nullptr);
    for (const char* name : {"IsRunning", "BTComAuto", "BTComPort", "USBComAuto", "USBComPort",
                             "TCPPort", "DoSync", "SyncDir", "MaxSyncSize", "SyncExclude"}) {
        size_t at = text.find(std::string("\n\"") + name + "\"=");
        ASSERT_NE(at, std::string::npos) << name;
        size_t previous = text.rfind('\n', at - 1);
        EXPECT_EQ(text.substr(previous + 1, 2), "; ") << name;
    }
    EXPECT_NE(text.find("\"TCPPort\"=dword:0000170c\n"), std::string::npos);
    EXPECT_NE(text.find("\"SyncExclude\"=\"*.bak; *~\"\n"), std::string::npos);

    Settings loaded;
    std::memset(&loaded, 'x', sizeof loaded);
    loaded.IsRunning = false;
    LoadSettings(Store(), loaded);
    EXPECT_TRUE(loaded.IsRunning);
    EXPECT_EQ(loaded.TCPPort, 5900);
    EXPECT_STREQ(loaded.BTComPort, "rfcomm0");
    EXPECT_STREQ(loaded.SyncDir, d.SyncDir);
    EXPECT_STREQ(loaded.SyncExclude, "*.bak; *~");

    // An existing file is the user's: left exactly as it is.
    WriteAll(file_, "; mine\n");
    ASSERT_TRUE(CreateDefaultSettingsFile(file_.c_str(), d, kSettingsKeyPath));
    EXPECT_EQ(ReadAll(file_), "; mine\n");
}

TEST_F(SettingsFile, SavingReplacesTheFileWhole) {
    ASSERT_TRUE(Store().SetString("COM4", "BTComPort"));  // the folder is created
    const std::string folder = folder_ + "/kivroproxy";
    ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
    const std::string before = ReadAll(file_);

    // A reader that has the old file open keeps reading the whole old file:
    // the new one arrives by rename, never by rewriting in place.
    int reader = open(file_.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(Store().SetDword(6000, "TCPPort"));
    std::string old(before.size() + 16, '\0');
    ssize_t n = pread(reader, old.data(), old.size(), 0);
    close(reader);
    EXPECT_EQ(old.substr(0, static_cast<size_t>(n)), before);
    EXPECT_EQ(ReadAll(file_), before + "\"TCPPort\"=dword:00001770\n");

    struct stat st;
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"settings.reg"});  // no temporaries left
}

TEST_F(SettingsFile, ALinkedFileStaysALink) {
    const std::string real = folder_ + "/dotfiles.reg";
    WriteAll(real, "REGEDIT4\n");
    ASSERT_EQ(mkdir((folder_ + "/kivroproxy").c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), file_.c_str()), 0);
    ASSERT_TRUE(Store().SetBool(false, "IsRunning"));
    struct stat st;
    ASSERT_EQ(lstat(file_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(ReadAll(real).find("\"IsRunning\"=dword:00000000"), std::string::npos);
}

TEST_F(SettingsFile, EditsMadeWhileRunningAreSeenAndKept) {
    ASSERT_TRUE(Store().SetDword(5901, "TCPPort"));
    WriteAll(file_, ReadAll(file_) + "; added by hand\n\"DoSync\"=dword:00000001\n");
    bool doSync = false;
    ASSERT_TRUE(Store().QueryBool(doSync, "DoSync"));
    EXPECT_TRUE(doSync);

    WriteAll(file_,
             ReadAll(file_) + "\"SyncDir\"=\"/srv/phone\"\n");  // not read back before the save
    ASSERT_TRUE(SaveExitState(Store(), false, nullptr));
    Settings s = DefaultSettings();
    LoadSettings(Store(), s);
    EXPECT_EQ(s.TCPPort, 5901);
    EXPECT_TRUE(s.DoSync);
    EXPECT_STREQ(s.SyncDir, "/srv/phone");
    EXPECT_FALSE(s.IsRunning);
    EXPECT_NE(ReadAll(file_).find("; added by hand\n"), std::string::npos);
}

TEST_F(SettingsFile, ADamagedFileKeepsEveryLineThroughASave) {
    const std::string damaged =
        "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\n"
        "\"BTComPort\"=\"rfcomm4\"\n\"TCPPort\"=dword:zz\n\x01\x02\xff junk\n"
        "\"WindowPos\"=hex:2c,00,\\\n";  // cut off mid-value
    ASSERT_EQ(mkdir((folder_ + "/kivroproxy").c_str(), 0700), 0);
    WriteAll(file_, damaged);
    Settings s = DefaultSettings();
    LoadSettings(Store(), s);
    EXPECT_STREQ(s.BTComPort, "rfcomm4");
    EXPECT_EQ(s.TCPPort, 5900);
    ASSERT_TRUE(SaveExitState(Store(), true, nullptr));
    EXPECT_EQ(ReadAll(file_), damaged + "\"IsRunning\"=dword:00000001\n");
}

TEST_F(SettingsFile, AFileItCannotReadIsNeverWrittenOver) {
    ASSERT_EQ(mkdir((folder_ + "/kivroproxy").c_str(), 0700), 0);
    // regedit's own export format is UTF-16: its text lines hold NUL bytes.
    const char raw[] = "\xff\xfeR\0E\0G\0\n\0\"\0T\0\"\0=\0d\0w\0o\0r\0d\0:\0\x31\0\n\0";
    const std::string utf16(raw, sizeof raw - 1);
    WriteAll(file_, utf16);
    Settings s;
    std::memset(&s, 'x', sizeof s);
    LoadSettings(Store(), s);
    EXPECT_EQ(s.TCPPort, 5900);
    EXPECT_FALSE(SaveExitState(Store(), false, nullptr));
    EXPECT_EQ(ReadAll(file_), utf16);

    // A folder where the file should be: the key cannot be opened.
    SettingsStore blocked(CreateSettingsFileStore(folder_.c_str()));
    EXPECT_FALSE(blocked.OpenKey(kSettingsKeyPath));
}

}  // namespace
}  // namespace kivro::test

#endif
