// Faults injected into a running kivroproxy from outside, as they happen to a
// user: the phone unplugged and plugged in again, a misbehaving phone, viewers
// that reset or stop reading, a settings file cut off. Each test watches the
// log the program writes and checks that it goes on (or stops) as it should,
// and that what reaches the viewer is exactly what the phone sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "Rig.h"

namespace kivro::test {
namespace {

// The top rows of phone-sim's screen: eight colour bars, 30 pixels each, as
// 32-bit little-endian pixels (the viewer keeps the server's format).
void ExpectBars(const std::vector<uint8_t>& pixels, int width, int rows) {
    static const uint32_t bars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                     0xFF00FF, 0xFF0000, 0x0000FF, 0};
    ASSERT_EQ(pixels.size(), size_t(width) * rows * 4);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = &pixels[(size_t(y) * width + x) * 4];
            uint32_t rgb = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
            ASSERT_EQ(rgb, bars[x / 30]) << "pixel " << x << "," << y;
        }
}

// A whole viewer session on the built-in screen: handshake and one update of
// the colour bars, checked pixel by pixel.
void ExpectWorkingSession(Viewer& viewer, uint16_t port) {
    ASSERT_TRUE(viewer.Connect(port));
    int width = 0, height = 0;
    ASSERT_TRUE(viewer.Handshake(10000, width, height));
    EXPECT_EQ(width, 240);
    EXPECT_EQ(height, 320);
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 40));
    ASSERT_TRUE(viewer.ReadUpdate(10000, pixels));
    ExpectBars(pixels, 240, 40);
}

void StopAndExpectStatus0(ProxyRig& rig) {
    rig.Proxy().Signal(SIGTERM);
    EXPECT_EQ(rig.Proxy().Wait(10000), 0) << rig.Proxy().Err();
    EXPECT_TRUE(rig.Proxy().Out().ends_with(" Proxy stopped\n")) << rig.Proxy().Out();
}

TEST(Faults, PhoneUnpluggedGivesLostUsbPortAndComesBackWhenPluggedIn) {
    ProxyRig rig;
    PhoneSim first;
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(rig.PointUsbAt(first.Pty()));
    ASSERT_TRUE(rig.Start());
    const std::string opened = " USB port on " + rig.UsbLink().string() + "\n";
    ASSERT_TRUE(rig.Next(opened)) << rig.Proxy().Out() << rig.Proxy().Err();
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n")) << rig.Proxy().Out();

    // Unplugged in the middle of a session: the viewer is let go, the port is lost.
    Viewer viewer;
    ExpectWorkingSession(viewer, rig.Port());
    ASSERT_TRUE(rig.Next(" Client connected from: 127.0.0.1\n"));
    first.Unplug();
    // An unplugged device's node goes away. Left pointing at the dead pty's number,
    // the name could reach a pty that another test opens meanwhile.
    ASSERT_TRUE(rig.PointUsbAt(rig.UsbLink().string() + ".unplugged"));
    ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 320));
    EXPECT_TRUE(rig.Next(" Client disconnected\n", 5000)) << rig.Proxy().Out();
    EXPECT_TRUE(rig.Next(" Lost USB port\n", 5000)) << rig.Proxy().Out();
    EXPECT_TRUE(viewer.ClosedWithin(5000));

    // While the device is gone the port is retried quietly.
    const size_t lostAt = rig.Cursor();
    rig.Proxy().Pump(2500);
    EXPECT_EQ(rig.Proxy().Out().find(" USB port on ", lostAt), std::string::npos)
        << rig.Proxy().Out();
    EXPECT_TRUE(rig.Proxy().Wait(0) < 0) << "the engine stopped: " << rig.Proxy().Out();

    // Plugged in again (a new pty behind the same name): the link comes back.
    PhoneSim second;
    ASSERT_TRUE(second.Started());
    ASSERT_TRUE(rig.PointUsbAt(second.Pty()));
    ASSERT_TRUE(rig.Next(opened, 5000)) << rig.Proxy().Out();
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n")) << rig.Proxy().Out();
    Viewer again;
    ExpectWorkingSession(again, rig.Port());

    // Swapped for another phone between two polls, with no viewer: lost and found at once.
    again.Close();
    ASSERT_TRUE(rig.Next(" Client disconnected\n"));
    PhoneSim third;
    ASSERT_TRUE(third.Started());
    ASSERT_TRUE(rig.PointUsbAt(third.Pty()));
    second.Unplug();
    EXPECT_TRUE(rig.Next(" Lost USB port\n", 5000)) << rig.Proxy().Out();
    ASSERT_TRUE(rig.Next(opened, 5000)) << rig.Proxy().Out();
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n")) << rig.Proxy().Out();
    Viewer last;
    ExpectWorkingSession(last, rig.Port());
    last.Close();

    StopAndExpectStatus0(rig);
    ExpectOnlyErrors(rig.Proxy().Err(), kLinkLost);
}

// A phone whose reply breaks the protocol stops the program with status 1
// after its message; the ASan build's leak check runs at that exit too.
TEST(Faults, PhoneBreakingTheProtocolEndsWithStatus1AndItsMessage) {
    struct Case {
        const char* fault;
        const char* message;
    } cases[] = {
        {"too-long@3", "Received message is too long"},
        {"bad-type=255@4", "Received message with invalid type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ProxyRig rig;
        PhoneSim phone({"--fault", c.fault});
        ASSERT_TRUE(phone.Started());
        ASSERT_TRUE(rig.PointUsbAt(phone.Pty()));
        ASSERT_TRUE(rig.Start());
        EXPECT_EQ(rig.Proxy().Wait(20000), 1) << rig.Proxy().Out() << rig.Proxy().Err();
        const std::string& out = rig.Proxy().Out();
        const size_t error = out.find(std::string(" ") + c.message + "\n");
        EXPECT_NE(error, std::string::npos) << out;
        EXPECT_TRUE(out.ends_with(" Proxy stopped\n")) << out;
        EXPECT_EQ(rig.Proxy().Err(), std::string("KivroProxy: ") + c.message + "\n");
    }
}

TEST(Faults, ViewerResetMidStreamIsClosedQuietlyAndTheNextOneIsServed) {
    ProxyRig rig;
    PhoneSim phone;
    ASSERT_TRUE(phone.Started());
    ASSERT_TRUE(rig.PointUsbAt(phone.Pty()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n")) << rig.Proxy().Out();

    // Reset at three points: before the handshake ends, and while whole
    // screens are on their way (once with a few bytes of them read).
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Viewer viewer;
        ASSERT_TRUE(viewer.Connect(rig.Port(), 4096));
        char version[12];
        ASSERT_TRUE(viewer.ReadExact(version, 12, 10000));
        if (round > 0) {
            ASSERT_TRUE(viewer.SendAll("RFB 003.008\n", 12));
            uint8_t rest[64];
            ASSERT_TRUE(viewer.ReadExact(rest, 2, 10000));
            const uint8_t none = 1, shared = 1;
            ASSERT_TRUE(viewer.SendAll(&none, 1));
            ASSERT_TRUE(viewer.ReadExact(rest, 4, 10000));
            ASSERT_TRUE(viewer.SendAll(&shared, 1));
            ASSERT_TRUE(viewer.ReadExact(rest, 24, 10000));
            for (int i = 0; i < 8; ++i) {
                ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 320));
            }
            if (round == 2) {
                ASSERT_TRUE(viewer.ReadExact(rest, 64, 10000));
            }
        }
        ASSERT_TRUE(rig.Next(" Client connected from: 127.0.0.1\n"));
        viewer.Reset();
        ASSERT_TRUE(rig.Next(" Client disconnected\n", 10000)) << rig.Proxy().Out();
        Viewer next;
        ExpectWorkingSession(next, rig.Port());
        next.Close();
        ASSERT_TRUE(rig.Next(" Client disconnected\n", 10000)) << rig.Proxy().Out();
    }
    StopAndExpectStatus0(rig);
    EXPECT_EQ(rig.Proxy().Err(), "") << "a reset viewer is no error";
}

// A VNC server behind the phone that sends a long deterministic stream as soon
// as a session connects; the viewer reads nothing for ten seconds and then
// everything, byte for byte.
TEST(Faults, ViewerThatStopsReadingFor10sGetsEveryByteAfterwards) {
    const size_t kStream = size_t(16) << 20;
    std::vector<uint8_t> stream(kStream);
    std::mt19937 random(11);
    for (uint8_t& b : stream) b = static_cast<uint8_t>(random());

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int serverPort = ntohs(address.sin_port);
    std::atomic<bool> served{false};
    std::atomic<size_t> sentSoFar{0};
    std::thread serve([&] {
        pollfd p{listener, POLLIN, 0};
        int session = poll(&p, 1, 30000) > 0 ? accept(listener, nullptr, nullptr) : -1;
        if (session < 0) return;
        size_t sent = 0;
        while (sent < stream.size()) {
            ssize_t n = send(session, stream.data() + sent,
                             std::min<size_t>(65536, stream.size() - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
            sentSoFar = sent;
        }
        served = sent == stream.size();
        // Held open until the session ends (the proxy's side closes first).
        char byte;
        p = {session, POLLIN, 0};
        if (poll(&p, 1, 60000) > 0) (void)recv(session, &byte, 1, 0);
        close(session);
    });

    ProxyRig rig;
    PhoneSim phone({"--vnc", "127.0.0.1:" + std::to_string(serverPort)});
    ASSERT_TRUE(phone.Started());
    ASSERT_TRUE(rig.PointUsbAt(phone.Pty()));
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n")) << rig.Proxy().Out();

    Viewer viewer;
    ASSERT_TRUE(viewer.Connect(rig.Port(), 16384));
    ASSERT_TRUE(rig.Next(" Client connected from: 127.0.0.1\n"));
    // Not a byte read for ten seconds, while the proxy's log is followed.
    const auto quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < quietUntil) rig.Proxy().Pump(100);
    // The stream is far larger than every buffer on the way (about 8 MB here):
    // the server is held up, so the proxy has been waiting on the viewer.
    EXPECT_LT(sentSoFar, kStream) << "nothing held the stream up";
    EXPECT_TRUE(rig.Proxy().Wait(0) < 0) << "the engine stopped: " << rig.Proxy().Out();

    std::vector<uint8_t> got(kStream);
    ASSERT_TRUE(viewer.ReadExact(got.data(), got.size(), 60000));
    for (size_t i = 0; i < kStream; ++i) ASSERT_EQ(got[i], stream[i]) << "at byte " << i;
    viewer.Close();
    serve.join();
    close(listener);
    EXPECT_TRUE(served);
    ASSERT_TRUE(rig.Next(" Client disconnected\n", 10000)) << rig.Proxy().Out();
    StopAndExpectStatus0(rig);
    EXPECT_EQ(rig.Proxy().Err(), "");
}

// A settings file cut off in the middle of a line: the values before the cut
// are used, and the exit's save keeps every byte of it, the cut line included.
TEST(Faults, SettingsFileCutMidLineLoadsWhatItCanAndSurvivesTheSave) {
    ProxyRig rig;
    PhoneSim phone;
    ASSERT_TRUE(phone.Started());
    ASSERT_TRUE(rig.PointUsbAt(phone.Pty()));
    const std::string head =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\r\n"
        "\"IsRunning\"=dword:00000000\r\n"
        "\"BTComAuto\"=dword:00000000\r\n\"BTComPort\"=\"" +
        (rig.Dir() / "no-bt").string() +
        "\"\r\n"
        "\"USBComAuto\"=dword:00000000\r\n\"USBComPort\"=\"" +
        rig.UsbLink().string() + "\"\r\n\"TCPPort\"=dword:" +
        [&] {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08x", rig.Port());
            return std::string(hex);
        }() +
        "\r\n";
    struct Case {
        const char* name;
        std::string tail;
    } cases[] = {
        {"a text", "\"SyncExclude\"=\"*.b"},
        {"a continued binary", "\"WindowPos\"=hex:2c,00,00,00,\\\r\n  02,00,"},
        {"a name", "\"MaxSyncSi"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string cut = head + c.tail;
        fs::create_directories(rig.SettingsFile().parent_path());
        std::ofstream(rig.SettingsFile(), std::ios::binary) << cut;
        // No --port: the file's own port and USB port must have been read.
        ASSERT_TRUE(rig.Start({}, {}, false));
        ASSERT_TRUE(rig.Next(" USB port on " + rig.UsbLink().string() + "\n"))
            << rig.Proxy().Out() << rig.Proxy().Err();
        ASSERT_TRUE(rig.Next(" Server connected to USB port\n")) << rig.Proxy().Out();
        Viewer viewer;
        ExpectWorkingSession(viewer, rig.Port());
        viewer.Close();
        ASSERT_TRUE(rig.Next(" Client disconnected\n"));
        StopAndExpectStatus0(rig);
        EXPECT_EQ(rig.Proxy().Err(), "");
        std::string saved = ReadFile(rig.SettingsFile());
        std::string expected = cut;
        expected.replace(expected.find("\"IsRunning\"=dword:00000000"), 26,
                         "\"IsRunning\"=dword:00000001");
        EXPECT_EQ(saved, expected);
    }
}

}  // namespace
}  // namespace kivro::test
