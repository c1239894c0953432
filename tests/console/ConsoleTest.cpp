// kivroproxy as other tools see it: the real binary run with its own settings
// folder (XDG_CONFIG_HOME and HOME in a temporary directory), its standard
// output, standard error and exit status captured.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kivro {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
};

class Console : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kivro-console-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home_ = pattern;
        settingsFile_ = home_ / "config" / "kivroproxy" / "settings.reg";
    }
    void TearDown() override { fs::remove_all(home_); }

    Result Run(const std::vector<std::string>& args) {
        const std::string binary = KIVRO_BINARY_DIR "/app/kivroproxy";
        int out[2], err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            setenv("HOME", home_.c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(binary.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        Result r;
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* sinks[2] = {&r.out, &r.err};
        int open = 2;
        while (open > 0 && poll(fds, 2, 10000) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path home_;
    fs::path settingsFile_;
};

TEST_F(Console, BadOptionGoesToStandardErrorWithStatus2AndStoresNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--bogus"}, "KivroProxy: Invalid command line option '--bogus'\n"},
        {{"/port:6000", "-p"}, "KivroProxy: Invalid command line option '-p'\n"},
        {{"--port=0"}, "KivroProxy: Invalid server TCP port '0'\n"},
        {{"/PORT:59x", "--help"}, "KivroProxy: Invalid server TCP port '59x'\n"},
        {{"--sync=/tmp/a b", "my file"}, "KivroProxy: Invalid command line option 'my file'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Result r = Run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(home_ / "config")) << "a bad option created the settings folder";
    }
}

TEST_F(Console, HelpAndVersionPrintToStandardOutput) {
    Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const std::string& word : std::vector<std::string>{
             "--port=N", "--bt=PORT", "--usb=PORT", "--sync=DIR", "--version", "TCPPort",
             "BTComAuto", "SyncExclude", "MaxSyncSize", settingsFile_.string()})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;

    Result version = Run({"--port=7000", "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(version.out, "KivroProxy, Kivro Server Proxy 2.02\n");
    EXPECT_FALSE(fs::exists(home_ / "config"));
}

TEST_F(Console, CommandLineOverridesForThisRunOnly) {
    Result first = Run({"/port:6000", "--usb=ttyUSB3"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_NE(first.out.find("TCPPort=6000\n"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("USBComPort=ttyUSB3\n"), std::string::npos) << first.out;
    // The first run creates the file with the defaults, not the overrides.
    const std::string created = ReadFile(settingsFile_);
    EXPECT_NE(created.find("\"TCPPort\"=dword:0000170c"), std::string::npos) << created;
    EXPECT_EQ(created.find("ttyUSB3"), std::string::npos) << created;

    Result second = Run({});
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(second.out.find("TCPPort=5900\n"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("USBComPort=ttyACM0\n"), std::string::npos) << second.out;
    EXPECT_EQ(ReadFile(settingsFile_), created);
}

TEST_F(Console, StoredValuesAreLoadedAndOverridden) {
    fs::create_directories(settingsFile_.parent_path());
    const std::string stored =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\r\n"
        "\"TCPPort\"=dword:00001f90\r\n\"BTComPort\"=\"rfcomm7\"\r\n\"DoSync\"=dword:00000001\r\n";
    std::ofstream(settingsFile_, std::ios::binary) << stored;

    Result r = Run({"--bt=/dev/pts/4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TCPPort=8080\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("DoSync=1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("BTComPort=/dev/pts/4\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(settingsFile_), stored);
}

}  // namespace
}  // namespace kivro
