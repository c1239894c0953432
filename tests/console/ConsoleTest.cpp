// kivroproxy as other tools see it: the real binary run with its own settings
// folder (XDG_CONFIG_HOME and HOME in a temporary directory), its standard
// output, standard error and exit status captured, driven by signals. No phone
// here: the ports named do not exist (tests/e2e has the phone).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "console/Child.h"
#include "engine/LinkProtocol.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
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

    std::vector<std::string> Env() const {
        return {"HOME=" + home_.string(), "XDG_CONFIG_HOME=" + (home_ / "config").string()};
    }

    static std::vector<std::string> Argv(std::vector<std::string> args) {
        args.insert(args.begin(), KIVRO_BINARY_DIR "/app/kivroproxy");
        return args;
    }

    // For options that end the program by themselves.
    Result Run(const std::vector<std::string>& args) {
        test::Child child(Argv(args), Env());
        Result r;
        r.status = child.Wait(10000);
        r.out = child.Out();
        r.err = child.Err();
        return r;
    }

    // A settings file whose ports do not exist, so the engine runs without a phone.
    void WriteSettings(const std::string& extra) {
        fs::create_directories(settingsFile_.parent_path());
        std::ofstream(settingsFile_, std::ios::binary)
            << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\r\n"
            << "\"BTComAuto\"=dword:00000000\r\n\"BTComPort\"=\"" << (home_ / "no-bt").string()
            << "\"\r\n"
            << "\"USBComAuto\"=dword:00000000\r\n\"USBComPort\"=\"" << (home_ / "no-usb").string()
            << "\"\r\n"
            << extra;
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

// A listening TCP socket on a free port, or a pty's far end: what the tests
// point kivroproxy at.
struct Listener {
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    int fd = -1;
    int port = 0;
};

int FreePort() {
    return Listener().port;
}

bool CanConnect(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

void ExpectLogEntriesOnly(const std::string& out) {
    const std::regex entry(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \S.*)");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, entry)) << "not a log entry: " << line;
}

TEST_F(Console, FirstRunCreatesTheDefaultsAndSigtermStopsWithStatus0) {
    const int port = FreePort();
    test::Child proxy(Argv({"--port=" + std::to_string(port), "/usb:" + (home_ / "usb").string()}),
                      Env());
    ASSERT_TRUE(proxy.WaitFor(" Proxy started\n")) << proxy.Out() << proxy.Err();
    EXPECT_TRUE(CanConnect(port));
    proxy.Signal(SIGTERM);
    EXPECT_EQ(proxy.Wait(3000), 0);
    EXPECT_TRUE(proxy.Out().ends_with(" Proxy stopped\n")) << proxy.Out();
    ExpectLogEntriesOnly(proxy.Out());
    // The file holds the defaults, not this run's overrides.
    const std::string created = ReadFile(settingsFile_);
    EXPECT_NE(created.find("\"TCPPort\"=dword:0000170c"), std::string::npos) << created;
    EXPECT_EQ(created.find((home_ / "usb").string()), std::string::npos) << created;
}

TEST_F(Console, SighupRereadsTheFileKeepsTheCommandLineAndRestarts) {
    WriteSettings("\"IsRunning\"=dword:00000000\r\n\"TCPPort\"=dword:00000001\r\n");
    const int port = FreePort();
    test::Child proxy(Argv({"--port=" + std::to_string(port)}), Env());
    ASSERT_TRUE(proxy.WaitFor(" Proxy started\n")) << proxy.Out() << proxy.Err();

    // A pty as the USB port now: its "USB port on" entry shows the file was read again.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string pts = ptsname(master);
    std::string edited = ReadFile(settingsFile_);
    edited.replace(edited.find((home_ / "no-usb").string()), (home_ / "no-usb").string().size(),
                   pts);
    std::ofstream(settingsFile_, std::ios::binary) << edited;

    const size_t before = proxy.Out().size();
    proxy.Signal(SIGHUP);
    ASSERT_TRUE(proxy.WaitFor(" USB port on " + pts + "\n")) << proxy.Out() << proxy.Err();
    const std::string restart = proxy.Out().substr(before);
    const size_t stopped = restart.find(" Proxy stopped\n");
    EXPECT_NE(stopped, std::string::npos) << restart;
    EXPECT_NE(restart.find(" Proxy started\n", stopped), std::string::npos) << restart;
    EXPECT_TRUE(CanConnect(port)) << "the command line's port did not outlive the reload";
    EXPECT_EQ(ReadFile(settingsFile_), edited) << "SIGHUP wrote the file";

    proxy.Signal(SIGINT);
    EXPECT_EQ(proxy.Wait(3000), 0);
    close(master);
    EXPECT_TRUE(proxy.Out().ends_with(" Proxy stopped\n")) << proxy.Out();
    EXPECT_EQ(proxy.Err(), "");
    ExpectLogEntriesOnly(proxy.Out());
    std::string stored = edited;
    stored.replace(stored.find("\"IsRunning\"=dword:00000000"), 26, "\"IsRunning\"=dword:00000001");
    EXPECT_EQ(ReadFile(settingsFile_), stored) << "only the running state is stored at exit";
}

TEST_F(Console, FailedStartEndsWithStatus1AndTheErrorOnStandardError) {
    WriteSettings("");
    Listener taken;
    ASSERT_GT(taken.port, 0);
    test::Child proxy(Argv({"--port=" + std::to_string(taken.port)}), Env());
    EXPECT_EQ(proxy.Wait(5000), 1);
    EXPECT_EQ(proxy.Err(), "KivroProxy: Error listening for client: Address already in use (98)\n");
    EXPECT_NE(proxy.Out().find(" Error listening for client: Address already in use (98)\n"),
              std::string::npos)
        << proxy.Out();
    ExpectLogEntriesOnly(proxy.Out());
}

// Polls what() until it holds, for up to ms.
template <typename Pred>
bool Within(int ms, Pred what) {
    for (int waited = 0; !what(); waited += 5) {
        if (waited >= ms) return false;
        usleep(5000);
    }
    return true;
}

// The process's main thread (its tid is its pid) is in the write system call.
bool MainThreadInWrite(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_write;
}

int ThreadCount(pid_t pid) {
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        ++n;
    return n;
}

bool HasOpen(pid_t pid, const std::string& path) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        if (fs::read_symlink(entry.path(), error) == path) return true;
    return false;
}

// The engine stops on an error while SIGTERM is already on its way: when the
// console loop sees both at once, the engine's stop decides the status. The
// loop is held in its output (standard output is a full pipe) until both have
// happened, so that its next poll sees them together.
TEST_F(Console, EngineStopSeenWithASignalStillEndsWithStatus1) {
    WriteSettings("");
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string pts = ptsname(master);
    {
        // Raw before the program opens it: bytes that arrive before its own
        // set-up are neither echoed nor taken as signal characters.
        int slave = open(pts.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        termios tio;
        ASSERT_EQ(tcgetattr(slave, &tio), 0);
        cfmakeraw(&tio);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
        close(slave);
    }
    const int port = FreePort();
    test::Child proxy(Argv({"--port=" + std::to_string(port), "/usb:" + pts}), Env());
    ASSERT_TRUE(proxy.WaitFor(" Proxy started\n")) << proxy.Out() << proxy.Err();

    // Fill the pipe behind the program's standard output.
    int out = open(("/proc/" + std::to_string(proxy.Pid()) + "/fd/1").c_str(),
                   O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(out, 0) << std::strerror(errno);
    std::string filler(4096, '\n');
    while (write(out, filler.data(), filler.size()) > 0) {
    }
    while (write(out, "\n", 1) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);

    // The phone's server comes up on USB; the engine announces itself.
    ASSERT_TRUE(Within(10000, [&] { return HasOpen(proxy.Pid(), pts); }));
    ASSERT_EQ(write(master, kUsbHello, sizeof kUsbHello), 8);
    // Reads one whole frame of the engine's from the pty.
    auto readFrame = [&](unsigned char(&frame)[16]) {
        size_t got = 0;
        return Within(10000, [&] {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 0) == 1) {
                ssize_t n = read(master, frame + got, (got < 3 ? 3 : 3 + frame[2]) - got);
                if (n > 0) got += size_t(n);
            }
            return got >= 3 && got == size_t(3 + frame[2]);
        });
    };
    unsigned char frame[16];
    ASSERT_TRUE(readFrame(frame));
    ASSERT_EQ(frame[0], 4) << "not the sync configuration";

    // The console loop is stuck writing; the phone's invalid reply stops the
    // engine, whose worker then ends; only then the signal.
    ASSERT_TRUE(Within(10000, [&] { return MainThreadInWrite(proxy.Pid()); }));
    const unsigned char invalid[3] = {3, 0, 0};
    ASSERT_EQ(write(master, invalid, sizeof invalid), 3);
    // The pass that stops runs to its end: its exchange is answered too.
    ASSERT_TRUE(readFrame(frame));
    const unsigned char empty[3] = {0, 0, 0};
    ASSERT_EQ(write(master, empty, sizeof empty), 3);
    ASSERT_TRUE(Within(10000, [&] { return ThreadCount(proxy.Pid()) == 1; }));
    proxy.Signal(SIGTERM);
    close(out);

    EXPECT_EQ(proxy.Wait(10000), 1) << proxy.Out() << proxy.Err();
    EXPECT_NE(proxy.Out().find(" Received message with invalid type\n"), std::string::npos)
        << proxy.Out();
    close(master);
}

}  // namespace
}  // namespace kivro
