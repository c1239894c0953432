// KivroProxy.exe, the Windows program itself, under Wine on a private X server:
// its USB port found by discovery from a serial device map entry written into
// Wine's registry, that port a dosdevices link to the pty of phone-sim (built-in
// screen), and vncsnapshot through the program's TCP port. The Windows build
// has a build folder of its own, so the test is given the program's path and
// skips while it has not been built; a cross test under Wine could not start
// phone-sim, a Linux program, as plainly. The Bluetooth case finds its port
// through the Serial Port Profile keys instead and sees the phone's server by
// CTS and DSR, which the modem shim, preloaded into Wine, gives phone-sim's pty
// (the test raises and drops them, as the phone's Bluetooth stack would).
//
// Wine runs in a prefix that belongs to this build folder, with a wineserver of
// its own that the test ends (wineserver -k) however it ends; a watchdog does
// the same should the test itself be killed. Nothing started here writes to the
// test's own output: ctest waits until every holder of its pipe has gone, and
// Wine's background services would hold it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Snapshot.h"

namespace kivro {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::Image;
using test::ReadAll;

const std::string kPhoneSim = KIVRO_BINARY_DIR "/tools/phone-sim/phone-sim";
const std::string kWindowsExe = KIVRO_WINDOWS_EXE;
// The COM port the serial device map names; a private prefix has no other.
constexpr char kComPort[] = "COM7";
constexpr char kSettingsKey[] = "HKCU\\Software\\Ostraven\\KivroProxy";
constexpr char kSerialMap[] = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
// An instance of the Windows Bluetooth enumerator's Serial Port Profile service.
constexpr char kSerialPortProfile[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\"
    "{00001101-0000-1000-8000-00805f9b34fb}\\KivroPhone";
const std::string kModemShim = KIVRO_BINARY_DIR "/tests/link/libkivro_modem_shim.so";

// A process in a process group of its own, standard output and error appended
// to a log file, standard input /dev/null; killed with its group when dropped.
class Background {
  public:
    // env entries ("NAME=value") are set on top of the inherited environment;
    // fd3, when not -1, becomes the child's descriptor 3.
    Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const fs::path& log, int fd3 = -1) {
        pid_ = fork();
        if (pid_ != 0) return;
        setpgid(0, 0);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int null = open("/dev/null", O_RDONLY);
        if (out < 0 || null < 0) _exit(127);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (fd3 >= 0) {
            if (fd3 == 3)
                fcntl(3, F_SETFD, 0);
            else
                dup2(fd3, 3);
        }
        for (const std::string& e : env) {
            const size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ~Background() { Kill(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running() { return pid_ > 0 && status_ < 0 && Wait(0) < 0; }
    // Exit status (128 + signal when killed), or -1 while it runs after ms.
    int Wait(int ms) {
        if (pid_ <= 0 || status_ >= 0) return status_;
        const auto end = Clock::now() + milliseconds(ms);
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            if (Clock::now() >= end) return -1;
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    void Kill() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        if (status_ < 0) Wait(5000);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Waits until the file contains text; false after ms, or at once when the
// process that should write it has ended.
bool WaitForText(const fs::path& file, const std::string& text, int ms, Background& writer) {
    const auto end = Clock::now() + milliseconds(ms);
    for (;;) {
        if (ReadAll(file).find(text) != std::string::npos) return true;
        if (Clock::now() >= end || !writer.Running())
            return ReadAll(file).find(text) != std::string::npos;
        std::this_thread::sleep_for(milliseconds(100));
    }
}

// The processes that carry this prefix in their environment: every Wine
// process of it, the wineserver included.
std::vector<pid_t> ProcessesIn(const fs::path& prefix) {
    const std::string mark = "WINEPREFIX=" + prefix.string();
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::istringstream env(ReadAll(entry.path() / "environ"));
        for (std::string variable; std::getline(env, variable, '\0');) {
            if (variable == mark) {
                found.push_back(pid_t(std::stoi(name)));
                break;
            }
        }
    }
    return found;
}

class WineEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"/usr/bin/wine", "/usr/bin/Xvfb", "/usr/bin/vncsnapshot"})
            if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
        if (!fs::exists(kWindowsExe))
            GTEST_SKIP() << kWindowsExe << " is not built (cmake --build --preset mingw64)";
        fs::create_directories(dir_);
        // The tests share the prefix, its wineserver and COM7: one at a time,
        // however ctest schedules them.
        lock_ = open((dir_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(lock_, 0);
        ASSERT_EQ(flock(lock_, LOCK_EX), 0);
        for (const char* log : {"xvfb.log", "wine.log", "phone-sim.log", "kivroproxy.log"})
            fs::remove(dir_ / log);
        port_ = test::FreePort();
        ASSERT_GT(port_, 0);
        StartDisplay();
        env_ = {"WINEPREFIX=" + prefix_.string(), "WINEARCH=win64", "WINEDEBUG=-all",
                "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY=" + display_};
        StartWatchdog();
    }

    void TearDown() override {
        if (!xvfb_) {  // skipped
            if (lock_ >= 0) close(lock_);
            return;
        }
        if (ready_) {
            EXPECT_GE(Server({"-k"}), 0) << "wineserver -k did not return";
        }
        if (proxy_) {
            EXPECT_GE(proxy_->Wait(10000), 0) << "KivroProxy.exe outlived its wineserver";
        }
        std::vector<pid_t> left;
        for (int i = 0; i < 50 && !(left = ProcessesIn(prefix_)).empty(); ++i)
            std::this_thread::sleep_for(milliseconds(100));
        EXPECT_TRUE(left.empty()) << left.size() << " Wine process(es) left, the first "
                                  << left.front();
        proxy_.reset();
        sim_.reset();
        watchdog_.reset();
        xvfb_.reset();
        std::error_code ec;
        fs::remove(prefix_ / "dosdevices" / "com7", ec);
        if (HasFailure()) {
            for (const char* log : {"phone-sim.log", "kivroproxy.log", "wine.log"})
                std::cerr << "--- " << log << "\n" << ReadAll(dir_ / log);
        }
        close(lock_);
    }

    // Xvfb picks a free display itself and names it on descriptor 3.
    void StartDisplay() {
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        xvfb_ = std::make_unique<Background>(
            std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                                     "1024x768x24"},
            std::vector<std::string>{}, dir_ / "xvfb.log", pipeFds[1]);
        close(pipeFds[1]);
        std::string number;
        pollfd p{pipeFds[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 20000) > 0 && read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
        close(pipeFds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start: " << ReadAll(dir_ / "xvfb.log");
        display_ = ":" + number;
    }

    // Should this process be killed (a ctest time-out), the watchdog ends the
    // prefix's Wine processes and the X server a while after the test's own
    // time limits have passed.
    void StartWatchdog() {
        const std::string script = "sleep 280; kill -9 " + std::to_string(xvfb_->Pid()) +
                                   "; WINEPREFIX='" + prefix_.string() + "' wineserver -k";
        watchdog_ = std::make_unique<Background>(std::vector<std::string>{"sh", "-c", script},
                                                 std::vector<std::string>{}, dir_ / "wine.log");
    }

    // A Wine command, its output in wine.log; its exit status, -1 on time-out.
    int Wine(std::vector<std::string> args, int seconds = 60) {
        args.insert(args.begin(), {"timeout", "-s", "KILL", std::to_string(seconds), "wine"});
        Background run(args, env_, dir_ / "wine.log");
        return run.Wait(seconds * 1000 + 5000);
    }

    // The prefix (created on first use) with a wineserver of this run, kept
    // running so that the volatile serial device map lives until the program
    // reads it. A server left by an earlier run is ended first.
    void StartWine() {
        ready_ = true;
        if (!fs::exists(prefix_ / "system.reg")) {
            ASSERT_EQ(Wine({"wineboot", "--init"}, 180), 0) << ReadAll(dir_ / "wine.log");
            ASSERT_EQ(Server({"-w"}), 0);  // the registry saved as the server ends
        }
        Server({"-k"});
        ASSERT_EQ(Server({"-p", "60"}), 0) << ReadAll(dir_ / "wine.log");
        ASSERT_EQ(Wine({"cmd", "/c", "ver"}), 0) << ReadAll(dir_ / "wine.log");
    }

    int Server(std::vector<std::string> args) {
        args.insert(args.begin(), {"timeout", "-s", "KILL", "30", "wineserver"});
        Background run(args, env_, dir_ / "wine.log");
        return run.Wait(35000);
    }

    void AddValue(const std::string& key, const std::string& name, const char* type,
                  const std::string& data) {
        EXPECT_EQ(Wine({"reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"}), 0)
            << key << "\\" << name << "\n"
            << ReadAll(dir_ / "wine.log");
    }

    void AddKey(const std::string& key) {
        EXPECT_EQ(Wine({"reg", "add", key, "/f"}), 0) << key << "\n" << ReadAll(dir_ / "wine.log");
    }

    // The stored settings: running, discovery on for the one port kind asked
    // for, and stored port names that exist nowhere, so that only discovery
    // can lead the program to the phone.
    void StoreSettings(bool usbAuto, bool btAuto) {
        AddValue(kSettingsKey, "IsRunning", "REG_DWORD", "1");
        AddValue(kSettingsKey, "USBComAuto", "REG_DWORD", usbAuto ? "1" : "0");
        AddValue(kSettingsKey, "USBComPort", "REG_SZ", "COM248");
        AddValue(kSettingsKey, "BTComAuto", "REG_DWORD", btAuto ? "1" : "0");
        AddValue(kSettingsKey, "BTComPort", "REG_SZ", "COM249");
    }

    // phone-sim in the given mode on a pty pair of its own, and COM7 a link to
    // the PC's end; returns that pty's path. The path is named on a line of
    // its own, beside phone-sim's other notes.
    std::string StartPhoneSim(const char* mode) {
        sim_ = std::make_unique<Background>(std::vector<std::string>{kPhoneSim, mode, "-v"},
                                            std::vector<std::string>{}, dir_ / "phone-sim.log");
        const std::string mark = "PTY /dev/pts/";
        EXPECT_TRUE(WaitForText(dir_ / "phone-sim.log", mark, 10000, *sim_));
        EXPECT_TRUE(WaitForText(dir_ / "phone-sim.log", "\n", 10000, *sim_));
        const std::string log = ReadAll(dir_ / "phone-sim.log");
        const size_t found = log.find(mark);
        if (found == std::string::npos || (found > 0 && log[found - 1] != '\n')) {
            ADD_FAILURE() << "phone-sim named no pty: " << log;
            return "";
        }
        const size_t at = found + 4;
        const std::string pty = log.substr(at, log.find('\n', at) - at);
        const fs::path link = prefix_ / "dosdevices" / "com7";
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(pty, link);
        return pty;
    }

    // KivroProxy.exe in a Wine virtual desktop, on this test's TCP port, with
    // env on top of the prefix's environment.
    void StartKivroProxyExe(const std::vector<std::string>& env = {}) {
        std::vector<std::string> all = env_;
        all.insert(all.end(), env.begin(), env.end());
        proxy_ = std::make_unique<Background>(
            std::vector<std::string>{"timeout", "-s", "KILL", "200", "wine", "explorer",
                                     "/desktop=KivroE2E,800x600", kWindowsExe,
                                     "/port:" + std::to_string(port_)},
            all, dir_ / "kivroproxy.log");
    }

    // Waits until the program has reached the phone (the PC's first frame
    // after the hello), then checks that vncsnapshot through it sees the
    // phone's screen.
    void ExpectPhoneScreenThroughTheProgram(const char* how) {
        ASSERT_TRUE(
            WaitForText(dir_ / "phone-sim.log", "phone-sim: PC sync config:", 120000, *sim_))
            << "KivroProxy.exe did not reach the phone" << how;
        Image image;
        test::TakeSnapshot(port_, (dir_ / "screen.jpg").string(), image);
        if (HasFatalFailure()) return;
        test::ExpectPhoneScreen(image);
    }

    const fs::path dir_ = fs::path(KIVRO_BINARY_DIR) / "e2e-wine";
    const fs::path prefix_ = dir_ / "prefix";
    int port_ = 0;
    std::string display_;
    std::vector<std::string> env_;
    bool ready_ = false;  // a wineserver of the prefix may be running
    int lock_ = -1;       // held from SetUp to TearDown
    std::unique_ptr<Background> xvfb_, watchdog_, sim_, proxy_;
};

TEST_F(WineEndToEnd, VncsnapshotSeesThePhoneThroughKivroProxyExe) {
    StartWine();
    if (HasFatalFailure()) return;
    // Automatic USB port, no Bluetooth port.
    StoreSettings(true, false);
    AddValue(kSerialMap, "\\Device\\USBSER000", "REG_SZ", kComPort);
    ASSERT_FALSE(HasFailure());

    StartPhoneSim("--usb");
    ASSERT_FALSE(HasFailure());
    StartKivroProxyExe();
    ASSERT_NO_FATAL_FAILURE(ExpectPhoneScreenThroughTheProgram(""));
    EXPECT_NE(ReadAll(dir_ / "phone-sim.log").find("viewer connected: built-in screen session"),
              std::string::npos);
    EXPECT_TRUE(proxy_->Running()) << "KivroProxy.exe ended early";
}

// A TCP viewer that only reads: connected while it receives, let go once the
// program closes the connection.
struct RawViewer {
    explicit RawViewer(int port) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~RawViewer() {
        if (fd >= 0) close(fd);
    }
    // What arrives within ms, or "" on time-out; closed is set at end of stream.
    std::string Receive(int ms, bool& closed) {
        closed = false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return "";
        char buffer[256];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) closed = true;
        return n > 0 ? std::string(buffer, size_t(n)) : "";
    }
    int fd = -1;
};

// The Bluetooth path: the port found through the Serial Port Profile keys, the
// phone's server seen through CTS and DSR (the modem shim, preloaded into Wine,
// gives phone-sim's pty its lines), vncsnapshot through it; then the lines
// drop and the program lets the viewer go.
TEST_F(WineEndToEnd, BluetoothServerFoundByItsLinesAndLostWhenTheyDrop) {
    if (!fs::exists(kModemShim)) GTEST_SKIP() << kModemShim << " is not built";
    StartWine();
    if (HasFatalFailure()) return;
    StoreSettings(false, true);
    AddKey(std::string(kSerialPortProfile) + "\\Control");
    AddValue(std::string(kSerialPortProfile) + "\\Device Parameters", "PortName", "REG_SZ",
             kComPort);
    ASSERT_FALSE(HasFailure());

    const std::string pty = StartPhoneSim("--bt");
    ASSERT_FALSE(HasFailure());

    // The lines as the phone's Bluetooth stack raises them once its server runs.
    const fs::path lines = dir_ / "modem-lines";
    std::error_code ec;
    fs::remove_all(lines, ec);
    fs::create_directories(lines);
    std::string state = pty;
    for (char& c : state)
        if (c == '/') c = '_';
    auto setLines = [&](int bits) {
        std::ofstream(lines / (state + ".new")) << bits;
        fs::rename(lines / (state + ".new"), lines / state);
    };
    setLines(0x020 | 0x100);  // TIOCM_CTS | TIOCM_DSR

    StartKivroProxyExe({"LD_PRELOAD=" + kModemShim, "KIVRO_MODEM_DIR=" + lines.string()});
    ASSERT_NO_FATAL_FAILURE(ExpectPhoneScreenThroughTheProgram(" over Bluetooth"));

    // A viewer that stays: the phone's screen greets it through the link.
    RawViewer viewer(port_);
    ASSERT_GE(viewer.fd, 0);
    bool closed = false;
    std::string greeting;
    for (int i = 0; i < 100 && greeting.empty() && !closed; ++i)
        greeting = viewer.Receive(100, closed);
    ASSERT_TRUE(greeting.starts_with("RFB ")) << greeting;

    setLines(0x020);  // DSR drops: the phone's server is gone
    for (int i = 0; i < 100 && !closed; ++i) viewer.Receive(100, closed);
    EXPECT_TRUE(closed) << "the viewer was not let go";
    EXPECT_TRUE(proxy_->Running()) << "KivroProxy.exe ended early";
}

}  // namespace
}  // namespace kivro
