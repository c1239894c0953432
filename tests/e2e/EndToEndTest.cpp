// The whole road with real peers: kivroproxy on one end of a pty pair,
// phone-sim on the other (its built-in screen, or relaying to a real Xvnc), and
// vncsnapshot as the viewer through the proxy's TCP port. Each test gets its
// own free port and its own settings folder, so nothing touches the user's
// settings or port 5900.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "console/Child.h"
#include "e2e/Snapshot.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kivro {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kProxy = KIVRO_BINARY_DIR "/app/kivroproxy";
using test::Child;
using test::FreePort;
using test::Image;
using test::ReadAll;

const std::string kPhoneSim = KIVRO_BINARY_DIR "/tools/phone-sim/phone-sim";

// phone-sim on a pty pair and kivroproxy on its PC end, each test in its own
// folder with its own settings file.
class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kivro-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        port_ = FreePort();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        proxy_.reset();
        sim_.reset();
        fs::remove_all(dir_);
    }

    void StartPhone(std::vector<std::string> args) {
        args.insert(args.begin(), {kPhoneSim, "--usb"});
        sim_ = std::make_unique<Child>(args);
        ASSERT_TRUE(sim_->Started());
        ASSERT_TRUE(sim_->WaitFor("\n", 10000)) << sim_->Err();
        std::istringstream line(sim_->Out());
        std::string word;
        line >> word >> pty_;
        ASSERT_EQ(word, "PTY") << sim_->Out();
    }

    // The pty as the USB port, no port discovery, a Bluetooth port that is not there.
    void StartProxy(std::vector<std::string> args = {}) {
        const fs::path file = dir_ / "config" / "kivroproxy" / "settings.reg";
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary)
            << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\r\n"
            << "\"BTComAuto\"=dword:00000000\r\n\"BTComPort\"=\"" << (dir_ / "no-bt").string()
            << "\"\r\n"
            << "\"USBComAuto\"=dword:00000000\r\n\"USBComPort\"=\"" << pty_ << "\"\r\n";
        args.insert(args.begin(), {kProxy, "--port=" + std::to_string(port_)});
        env_ = {"XDG_CONFIG_HOME=" + (dir_ / "config").string(), "HOME=" + dir_.string()};
        proxy_ = std::make_unique<Child>(args, env_);
        ASSERT_TRUE(proxy_->Started());
    }

    void Snapshot(Image& image) {
        test::TakeSnapshot(port_, (dir_ / "screen.jpg").string(), image);
    }

    // SIGTERM: exit 0 within 3 s, "Proxy stopped" last; every line a log entry.
    void StopProxyAndCheckLog() {
        proxy_->Signal(SIGTERM);
        EXPECT_EQ(proxy_->Wait(3000), 0) << proxy_->Err();
        const std::string& out = proxy_->Out();
        EXPECT_TRUE(out.ends_with(" Proxy stopped\n")) << out;
        const std::regex entry(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \S.*)");
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(std::regex_match(line, entry)) << "not a log entry: " << line;
    }

    fs::path dir_;
    int port_ = 0;
    std::string pty_;
    std::vector<std::string> env_;
    std::unique_ptr<Child> sim_, proxy_;
};

bool HaveTool(const char* path) {
    return access(path, X_OK) == 0;
}

TEST_F(EndToEnd, VncsnapshotSeesThePhonesBuiltInScreen) {
    if (!HaveTool("/usr/bin/vncsnapshot")) GTEST_SKIP() << "vncsnapshot is not installed";
    StartPhone({});
    StartProxy();
    ASSERT_TRUE(proxy_->WaitFor(" Server connected to USB port\n"))
        << proxy_->Out() << proxy_->Err();

    Image image;
    Snapshot(image);
    test::ExpectPhoneScreen(image);

    EXPECT_TRUE(proxy_->WaitFor(" Client connected from: 127.0.0.1\n"));
    EXPECT_TRUE(proxy_->WaitFor(" Client disconnected\n"));
    EXPECT_NE(proxy_->Out().find(" USB port on " + pty_ + "\n"), std::string::npos)
        << proxy_->Out();
    StopProxyAndCheckLog();
    EXPECT_EQ(proxy_->Err(), "");
}

TEST_F(EndToEnd, VncsnapshotSeesARealXvncBehindThePhone) {
    if (!HaveTool("/usr/bin/vncsnapshot") || !HaveTool("/usr/bin/Xvnc"))
        GTEST_SKIP() << "vncsnapshot or Xvnc (tigervnc-standalone-server) is not installed";
    // A display number nobody uses: the port's last digits, high up.
    const int vncPort = FreePort();
    const std::string display = ":" + std::to_string(200 + port_ % 500);
    Child xvnc({"Xvnc", display, "-geometry", "320x200", "-depth", "24", "-SecurityTypes", "None",
                "-rfbport", std::to_string(vncPort), "-localhost", "-nolisten", "tcp"});
    ASSERT_TRUE(xvnc.Started());
    // Xvnc is ready once it accepts a connection.
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(vncPort));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (!up) std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_TRUE(up) << "Xvnc did not start";

    StartPhone({"--vnc", "127.0.0.1:" + std::to_string(vncPort)});
    StartProxy();
    ASSERT_TRUE(proxy_->WaitFor(" Server connected to USB port\n"))
        << proxy_->Out() << proxy_->Err();
    Image image;
    Snapshot(image);
    // Xvnc's own geometry, not the built-in screen's 240 x 320, and its black root.
    EXPECT_EQ(image.width, 320);
    EXPECT_EQ(image.height, 200);
    if (image.width == 320 && image.height == 200 && !image.rgb.empty()) {
        for (int c = 0; c < 3; ++c) EXPECT_LT(image.At(160, 100)[c], 40);
    }
    StopProxyAndCheckLog();
    xvnc.Signal(SIGTERM);
    xvnc.Wait(5000);
}

TEST_F(EndToEnd, InvalidMessageTypeEndsWithStatus1) {
    StartPhone({"--fault", "bad-type@3"});
    StartProxy();
    EXPECT_EQ(proxy_->Wait(20000), 1) << proxy_->Out() << proxy_->Err();
    const std::string& out = proxy_->Out();
    const size_t error = out.find(" Received message with invalid type\n");
    EXPECT_NE(error, std::string::npos) << out;
    EXPECT_GT(out.find(" Proxy stopped\n", error), error)
        << "the last events are printed before the exit";
    EXPECT_NE(proxy_->Err().find("KivroProxy: Received message with invalid type\n"),
              std::string::npos)
        << proxy_->Err();
}

TEST_F(EndToEnd, SigtermEndsWithStatus0WhileThePhoneStallsMidFrame) {
    // The first frame gets its answer; the poll after it never does.
    StartPhone({"--fault", "stall@2"});
    StartProxy();
    ASSERT_TRUE(proxy_->WaitFor(" File synchronization disabled\n"))
        << proxy_->Out() << proxy_->Err();
    proxy_->Pump(1500);  // the next poll is sent and left hanging
    proxy_->Signal(SIGTERM);
    EXPECT_EQ(proxy_->Wait(3500), 0) << proxy_->Out() << proxy_->Err();
}

TEST_F(EndToEnd, FilesSyncBothWays) {
    const fs::path pc = dir_ / "pc", phone = dir_ / "phone";
    fs::create_directories(pc);
    fs::create_directories(phone);
    StartPhone({"--sync-dir", phone.string()});
    StartProxy({"--sync=" + pc.string()});
    ASSERT_TRUE(proxy_->WaitFor(" Server connected to USB port\n"))
        << proxy_->Out() << proxy_->Err();
    ASSERT_TRUE(proxy_->WaitFor("File synchronization enabled", 5000)) << proxy_->Out();

    std::string toPhone(100000, '\0'), toPc(7000, '\0');
    for (size_t i = 0; i < toPhone.size(); ++i) toPhone[i] = char(i * 7 + i / 251);
    for (size_t i = 0; i < toPc.size(); ++i) toPc[i] = char(i * 13 + 5);
    std::ofstream(pc / "up.bin", std::ios::binary) << toPhone;
    std::ofstream(phone / "down.bin.tmp", std::ios::binary) << toPc;
    fs::rename(phone / "down.bin.tmp", phone / "down.bin");

    EXPECT_TRUE(proxy_->WaitFor("Sending to server: up.bin - ok (100000 bytes)\n"))
        << proxy_->Out();
    EXPECT_TRUE(proxy_->WaitFor("Receiving from server: down.bin - ok (7000 bytes)\n"))
        << proxy_->Out();
    const auto end = Clock::now() + milliseconds(5000);
    while (ReadAll(phone / "up.bin") != toPhone && Clock::now() < end)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(ReadAll(phone / "up.bin") == toPhone) << "the phone's copy differs";
    EXPECT_TRUE(ReadAll(pc / "down.bin") == toPc) << "the PC's copy differs";
    // A received file is not sent back.
    proxy_->Pump(2500);
    EXPECT_EQ(proxy_->Out().find("Sending to server: down.bin"), std::string::npos)
        << proxy_->Out();
    StopProxyAndCheckLog();
}

}  // namespace
}  // namespace kivro
