// The soak: one kivroproxy serves thousands of viewer sessions of every kind
// (whole, reset mid-stream, ended mid-handshake, reset before a byte) while
// its phone is unplugged and plugged in again at regular intervals. Open
// descriptors and resident memory after the first 100 sessions are compared
// with the end, and the program must end cleanly (ASan's leak check in the
// sanitizer build, valgrind's in the run under it).
//
// The test command runs it shortened; KIVRO_SOAK=full gives the full 2,000
// sessions and 200 port losses (scripts/soak --full), and KIVRO_SOAK_SESSIONS
// and KIVRO_SOAK_CYCLES set other counts.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "Rig.h"

namespace kivro::test {
namespace {

int EnvCount(const char* name, int otherwise) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : otherwise;
}

bool Full() {
    const char* text = std::getenv("KIVRO_SOAK");
    return text && std::string(text) == "full";
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

// Resident size may move by a few allocator pages between two quiet moments.
constexpr size_t kRssSlackKb = 256;

struct Figures {
    size_t fdsAt100 = 0, fdsAtEnd = 0;
    size_t rssAt100 = 0, rssAtEnd = 0;
    int sessions = 0, cycles = 0;
    double seconds = 0;
};

// One viewer session of the given kind; true when the proxy logged its start and end.
void Session(ProxyRig& rig, int kind) {
    Viewer viewer;
    ASSERT_TRUE(viewer.Connect(rig.Port(), kind == 1 ? 4096 : 0));
    switch (kind) {
        case 0: {  // whole: handshake, the colour bars checked, a normal close
            int width = 0, height = 0;
            ASSERT_TRUE(viewer.Handshake(15000, width, height));
            ASSERT_EQ(width, 240);
            std::vector<uint8_t> pixels;
            ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 8));
            ASSERT_TRUE(viewer.ReadUpdate(15000, pixels));
            ASSERT_EQ(pixels.size(), 240u * 8 * 4);
            ASSERT_EQ(pixels[4 * 45 + 2], 0xFF);  // the yellow bar's red byte
            ASSERT_EQ(pixels[4 * 45], 0x00);      // and its blue one
            viewer.Close();
            break;
        }
        case 1: {  // reset while whole screens are on their way
            int width = 0, height = 0;
            ASSERT_TRUE(viewer.Handshake(15000, width, height));
            for (int i = 0; i < 4; ++i) {
                ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 320));
            }
            uint8_t some[256];
            ASSERT_TRUE(viewer.ReadExact(some, sizeof some, 15000));
            viewer.Reset();
            break;
        }
        case 2: {  // gone in the middle of the handshake
            char version[12];
            ASSERT_TRUE(viewer.ReadExact(version, 12, 15000));
            viewer.Close();
            break;
        }
        default:  // reset before the proxy has even read from it
            viewer.Reset();
            break;
    }
    ASSERT_TRUE(rig.Next(" Client connected from: 127.0.0.1\n"))
        << "kind " << kind << ": " << rig.Proxy().Out().substr(rig.Cursor());
    ASSERT_TRUE(rig.Next(" Client disconnected\n"))
        << "kind " << kind << ": " << rig.Proxy().Out().substr(rig.Cursor());
}

// The phone unplugged and another plugged in behind the same name.
void PortCycle(ProxyRig& rig, std::unique_ptr<PhoneSim>& phone) {
    auto next = std::make_unique<PhoneSim>();
    ASSERT_TRUE(next->Started());
    ASSERT_TRUE(rig.PointUsbAt(next->Pty()));
    phone->Unplug();
    phone = std::move(next);
    ASSERT_TRUE(rig.Next(" Lost USB port\n")) << rig.Proxy().Out().substr(rig.Cursor());
    ASSERT_TRUE(rig.Next(" USB port on ")) << rig.Proxy().Out().substr(rig.Cursor());
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n"))
        << rig.Proxy().Out().substr(rig.Cursor());
}

void RunSoak(int sessions, int cycles, std::vector<std::string> prefix, Figures& f) {
    const auto started = std::chrono::steady_clock::now();
    ProxyRig rig;
    auto phone = std::make_unique<PhoneSim>();
    ASSERT_TRUE(phone->Started());
    ASSERT_TRUE(rig.PointUsbAt(phone->Pty()));
    ASSERT_TRUE(rig.Start({}, prefix));
    ASSERT_TRUE(rig.Next(" Server connected to USB port\n", 60000))
        << rig.Proxy().Out() << rig.Proxy().Err();

    const int every = cycles > 0 ? std::max(1, sessions / cycles) : sessions + 1;
    const int baseline = std::min(100, sessions);
    for (int i = 1; i <= sessions; ++i) {
        ASSERT_NO_FATAL_FAILURE(Session(rig, i % 4)) << "session " << i;
        f.sessions = i;
        if (f.cycles < cycles && i % every == 0) {
            ASSERT_NO_FATAL_FAILURE(PortCycle(rig, phone)) << "cycle " << f.cycles + 1;
            ++f.cycles;
        }
        if (i == baseline) {
            f.fdsAt100 = OpenFdCount(rig.Pid());
            f.rssAt100 = ResidentKb(rig.Pid());
        }
    }
    while (f.cycles < cycles) {
        ASSERT_NO_FATAL_FAILURE(PortCycle(rig, phone));
        ++f.cycles;
    }
    // The state the baseline was taken in: server connected, no viewer.
    ASSERT_NO_FATAL_FAILURE(Session(rig, 0));
    f.fdsAtEnd = OpenFdCount(rig.Pid());
    f.rssAtEnd = ResidentKb(rig.Pid());

    rig.Proxy().Signal(SIGTERM);
    EXPECT_EQ(rig.Proxy().Wait(60000), 0) << rig.Proxy().Err();
    EXPECT_TRUE(rig.Proxy().Out().ends_with(" Proxy stopped\n"));
    // Only the lost phone may be reported.
    ExpectOnlyErrors(rig.Proxy().Err(), kLinkLost);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "soak: %d sessions, %d port losses in %.0f s; fds %zu after %d, %zu at the end; "
        "RSS %zu KB after %d, %zu KB at the end\n",
        f.sessions, f.cycles, f.seconds, f.fdsAt100, baseline, f.fdsAtEnd, f.rssAt100, baseline,
        f.rssAtEnd);
}

TEST(Soak, SessionsAndPortLossesLeaveNoTrace) {
    Figures f;
    const int sessions = EnvCount("KIVRO_SOAK_SESSIONS", Full() ? 2000 : 200);
    const int cycles = EnvCount("KIVRO_SOAK_CYCLES", Full() ? 200 : 20);
    ASSERT_NO_FATAL_FAILURE(RunSoak(sessions, cycles, {}, f));
    EXPECT_EQ(f.fdsAtEnd, f.fdsAt100);
    // ASan's quarantine holds freed memory back, so resident size says nothing there.
    if (!SanitizerBuild()) {
        EXPECT_LE(f.rssAtEnd, f.rssAt100 + kRssSlackKb);
    }
}

TEST(Soak, ShortRunUnderValgrindIsClean) {
    if (SanitizerBuild()) {
        GTEST_SKIP() << "valgrind cannot run a sanitizer build";
    }
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    Figures f;
    const int sessions = EnvCount("KIVRO_SOAK_VALGRIND_SESSIONS", Full() ? 200 : 60);
    const int cycles = EnvCount("KIVRO_SOAK_VALGRIND_CYCLES", Full() ? 20 : 6);
    ASSERT_NO_FATAL_FAILURE(RunSoak(
        sessions, cycles,
        {"valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
         "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect"},
        f));
    EXPECT_EQ(f.fdsAtEnd, f.fdsAt100);
}

}  // namespace
}  // namespace kivro::test
