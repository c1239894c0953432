// The main loop's wait decisions, read from the time-outs its waits hand to
// poll() (WaitRecorder), against a scripted phone on a pty pair: idle it waits a
// second; after viewer bytes it waits 5 ms until the fast spell is over and then
// doubles back to the second; while a file goes either way it does not wait at
// all. The phone answers file frames with empty frames, so nothing but the file
// itself keeps the loop going. No figure here depends on how fast the machine is.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineTestSupport.h"
#include "engine/PollPace.h"
#include "engine/Proxy.h"
#include "link/Phone.h"
#include "link/Pty.h"
#include "pace/WaitRecorder.h"
#include "sync/TempFolder.h"

namespace kivro::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kLinkTimeoutMs = 3000;  // no main-loop wait is ever this long

// The longest run of time-outs of 0 (passes that did not wait).
size_t LongestRunOfZeros(const std::vector<int>& waits) {
    size_t best = 0, run = 0;
    for (int w : waits) {
        run = w == 0 ? run + 1 : 0;
        best = std::max(best, run);
    }
    return best;
}

bool HasIdleWait(const std::vector<int>& waits) {
    for (int w : waits)
        if (w == static_cast<int>(PollPace::kIdleMs)) return true;
    return false;
}

class WaitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(usb.Open());
        sink.hook = [](const EngineEvent& e) {
            if (e.Code == EV_PROXY_RUNNING && e.Value == 1)
                RecordWaitsOfThisThread(static_cast<int>(kLinkTimeoutMs));
        };
        phone.SetAnswer([this](const LinkFrameRecord& f) {
            if (f.type == LINK_SYNC_CONFIG) {
                std::vector<uint8_t> config(5);
                config[0] = 1;
                PutBigEndian(config.data(), 1, 4, 1 << 20);
                return FrameBytes(LINK_SYNC_CONFIG, config);
            }
            return FrameBytes(LINK_DATA);
        });
        phone.Start();
    }
    void TearDown() override {
        if (proxy) proxy->Shutdown();
        proxy.reset();
        phone.Stop();
    }

    // The engine on the pty, the phone's server found, its sync answer handled,
    // and the loop back at its idle wait.
    void StartConnected(bool doSync) {
        Settings s = TestSettings(FreePort());
        std::strcpy(s.USBComPort, usb.SlavePath());
        s.DoSync = doSync;
        std::strcpy(s.SyncDir, sync.str().c_str());
        port = static_cast<uint16_t>(s.TCPPort);
        proxy = std::make_unique<Proxy>(kLinkTimeoutMs);
        ASSERT_TRUE(proxy->Start(&sink, s)) << Describe(sink.Events());
        ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0) << Describe(sink.Events());
        ASSERT_TRUE(usb.Write(kUsbHello, 8));
        ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG), 0);
        ClearWaits();
        ASSERT_TRUE(WaitForWaits(HasIdleWait, 5000)) << "no idle wait after the sync answer";
    }

    PtyPair usb;
    ScriptedPhone phone{usb};
    RecordingSink sink;
    kivro::testing::TempFolder sync;
    std::unique_ptr<Proxy> proxy;
    uint16_t port = 0;
};

TEST_F(WaitTest, IdleLoopWaitsOneSecondEveryPass) {
    StartConnected(false);
    ClearWaits();
    ASSERT_TRUE(WaitForWaits([](const std::vector<int>& w) { return w.size() >= 3; }, 5000));
    for (int w : Waits()) EXPECT_EQ(w, 1000);
    for (const LinkFrameRecord& f : phone.Frames()) EXPECT_LE(f.payload.size(), 5u);
}

TEST_F(WaitTest, ViewerBytesBringFastPollsThatBackOffToTheSecond) {
    StartConnected(false);
    Peer viewer;
    ASSERT_TRUE(viewer.Connect(port));
    ASSERT_GE(phone.WaitForType(LINK_CLIENT_CONNECTED), 0);
    // The viewer's arrival is activity too: let that spell end first.
    ClearWaits();
    ASSERT_TRUE(WaitForWaits(HasIdleWait, 5000));
    ClearWaits();
    const uint8_t request[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(viewer.SendAll(request, sizeof request));
    ASSERT_TRUE(WaitForWaits(HasIdleWait, 5000));

    // 5 ms waits, then one of each doubling, then the second. An idle wait that
    // ended before the request arrived may come first.
    std::vector<int> waits = Waits();
    SCOPED_TRACE(::testing::PrintToString(waits));
    size_t fast = 0;
    while (fast < waits.size() && waits[fast] == 1000) ++fast;
    size_t fastStart = fast;
    while (fast < waits.size() && waits[fast] == 5) ++fast;
    EXPECT_GE(fast - fastStart, 1u);
    std::vector<int> backOff(waits.begin() + static_cast<std::ptrdiff_t>(fast), waits.end());
    EXPECT_EQ(backOff, (std::vector<int>{10, 20, 40, 80, 160, 320, 640, 1000}));
}

TEST_F(WaitTest, FileGoingOutIsSentWithoutWaits) {
    StartConnected(true);
    std::vector<uint8_t> content(10 * kLinkMaxPayload + 100);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
    kivro::testing::TempFolder staging;
    {
        std::ofstream out(staging.path() / "out.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
    }
    // An old time stamp, so the monitor hands the file out at once.
    fs::last_write_time(staging.path() / "out.bin",
                        fs::last_write_time(staging.path() / "out.bin") - std::chrono::minutes(1));
    ClearWaits();
    size_t from = phone.Count();
    fs::rename(staging.path() / "out.bin", sync.path() / "out.bin");
    ASSERT_GE(phone.WaitForType(LINK_FILE_END, 10000, from), 0) << Describe(sink.Events());

    // Start, eleven data frames, end: the passes after the start and after
    // each data frame (twelve) did not wait.
    EXPECT_GE(LongestRunOfZeros(Waits()), 12u);
    std::vector<uint8_t> received;
    for (const LinkFrameRecord& f : phone.Frames())
        if (f.type == LINK_FILE_DATA) received.insert(received.end(), f.payload.begin(), f.payload.end());
    EXPECT_EQ(received, content);
}

TEST_F(WaitTest, FileComingInIsFetchedWithoutWaits) {
    StartConnected(true);
    std::vector<uint8_t> content(5 * kLinkMaxPayload);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 13);
    ClearWaits();
    phone.Queue(FrameBytes(LINK_FILE_START, std::vector<uint8_t>{'i', 'n', '.', 'b', 'i', 'n'}));
    for (size_t at = 0; at < content.size(); at += kLinkMaxPayload)
        phone.Queue(FrameBytes(
            LINK_FILE_DATA, std::vector<uint8_t>(content.begin() + static_cast<std::ptrdiff_t>(at),
                                                 content.begin() + static_cast<std::ptrdiff_t>(
                                                                       at + kLinkMaxPayload))));
    phone.Queue(FrameBytes(LINK_FILE_END));
    ASSERT_GE(sink.WaitForCode(EV_SYNC_RECEIVED, static_cast<uint32_t>(content.size()), 10000), 0)
        << Describe(sink.Events());

    // The passes after the start and after each of the five data replies.
    EXPECT_GE(LongestRunOfZeros(Waits()), 6u);
    std::ifstream in(sync.path() / "in.bin", std::ios::binary);
    std::vector<uint8_t> written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(written, content);
}

// Bytes waiting before the hello (a phone's leftovers, line noise) are read in
// the pass that finds them: one main-loop wait each would make a long run of
// them a long delay before the server is found.
TEST_F(WaitTest, StrayBytesBeforeTheHelloCostNoPassEach) {
    Settings s = TestSettings(FreePort());
    std::strcpy(s.USBComPort, usb.SlavePath());
    proxy = std::make_unique<Proxy>(kLinkTimeoutMs);
    ASSERT_TRUE(proxy->Start(&sink, s)) << Describe(sink.Events());
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0) << Describe(sink.Events());
    ClearWaits();
    uint8_t bytes[300 + sizeof kUsbHello];
    std::memset(bytes, 0x5A, 300);
    std::memcpy(bytes + 300, kUsbHello, sizeof kUsbHello);
    ASSERT_TRUE(usb.Write(bytes, sizeof bytes));
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG), 0) << Describe(sink.Events());
    // A few passes: the tty may hand the bytes over in more than one piece.
    EXPECT_LT(Waits().size(), 30u);
}

}  // namespace
}  // namespace kivro::test

#endif
