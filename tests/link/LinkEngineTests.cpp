// The real engine over pty pairs with a scripted phone on the far end (USB: the
// hello bytes, then frames), a real TCP viewer, and the modem shim standing in
// for the Bluetooth lines a pty lacks. Link time-outs are lowered through the
// engine's constructor so failures show in a fraction of a second.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sys/ioctl.h>
#include <thread>

#include "engine/EngineTestSupport.h"
#include "engine/PollPace.h"
#include "engine/Proxy.h"
#include "link/Phone.h"
#include "link/Pty.h"
#include "pace/WaitRecorder.h"
#include "platform/System.h"
#include "text/Messages.h"

namespace kivro::test {
namespace {

const std::vector<uint8_t> kHello(kUsbHello, kUsbHello + 8);
// The PC's sync configuration with synchronisation off and the 131072 limit.
const std::vector<uint8_t> kSyncConfigOff = {0x00, 0x00, 0x02, 0x00, 0x00};

bool Is(const EngineEvent& e, EventCode code, uint32_t value) {
    return e.Code == code && e.Value == value;
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(usb.Open()); }
    void TearDown() override {
        if (proxy) proxy->Shutdown();
        proxy.reset();
    }

    Settings UsbSettings() {
        Settings s = TestSettings(FreePort());
        std::strcpy(s.USBComPort, usb.SlavePath());
        return s;
    }
    void StartEngine(const Settings& s, uint32_t linkTimeoutMs = 2000) {
        port = static_cast<uint16_t>(s.TCPPort);
        // The worker is marked so a test can hold it between two exchanges.
        sink.hook = [user = std::move(sink.hook)](const EngineEvent& e) {
            if (Is(e, EV_PROXY_RUNNING, 1)) MarkWorkerThread();
            if (user) user(e);
        };
        proxy = std::make_unique<Proxy>(linkTimeoutMs);
        ASSERT_TRUE(proxy->Start(&sink, s)) << Describe(sink.Events());
        ASSERT_GE(sink.WaitForCode(EV_PROXY_RUNNING, 1), 0);
    }
    // Engine on the USB pty, phone answering, hello sent once the port is open.
    void StartConnected(uint32_t linkTimeoutMs = 2000) {
        phone.Start();
        StartEngine(UsbSettings(), linkTimeoutMs);
        ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0) << Describe(sink.Events());
        ASSERT_TRUE(usb.Write(kUsbHello, 8));
        ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1), 0) << Describe(sink.Events());
        ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG), 0);
    }
    void ConnectViewer(Peer& viewer) {
        size_t from = sink.Count();
        size_t frames = phone.Count();
        ASSERT_TRUE(viewer.Connect(port));
        ASSERT_GE(
            sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_CLIENT && e.Text[0]; },
                         5000, from),
            0);
        ASSERT_GE(phone.WaitForType(LINK_CLIENT_CONNECTED, 5000, frames), 0);
    }
    // The events from index `from` on, statistics left out (a pass may post them first).
    std::vector<EngineEvent> EventsSince(size_t from) {
        std::vector<EngineEvent> all = sink.Events();
        std::vector<EngineEvent> tail;
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].Code != EV_STATISTICS) tail.push_back(all[i]);
        return tail;
    }
    int CountOf(EventCode code, uint32_t value) {
        int n = 0;
        for (const EngineEvent& e : sink.Events()) n += Is(e, code, value);
        return n;
    }

    PtyPair usb;
    ScriptedPhone phone{usb};
    RecordingSink sink;
    std::unique_ptr<Proxy> proxy;
    uint16_t port = 0;
};

TEST_F(LinkTest, FirstFrameAfterTheServerAppearsIsTheSyncConfiguration) {
    StartConnected();
    std::vector<LinkFrameRecord> frames = phone.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].type, LINK_SYNC_CONFIG);
    // On the wire: 04 00 05 00 00 02 00 00 (flags 0: this engine syncs nothing).
    EXPECT_EQ(frames[0].payload, kSyncConfigOff);
    EXPECT_TRUE(proxy->ServerConnected());
}

// The hello is found in any split of the byte stream, after any other bytes,
// and not in seven right bytes followed by a wrong one. One engine serves every
// case: the phone's LINK_USB_DISCONNECT returns it to the search each time.
TEST_F(LinkTest, HelloFoundAcrossAnySplitAndNotAfterAWrongByte) {
    StartConnected();
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> chunks;
        bool connects;
    };
    std::vector<Case> cases;
    for (size_t split = 1; split < 8; ++split)
        cases.push_back(
            {"split",
             {{kHello.begin(), kHello.begin() + split}, {kHello.begin() + split, kHello.end()}},
             true});
    std::vector<std::vector<uint8_t>> single;
    for (uint8_t b : kHello) single.push_back({b});
    cases.push_back({"byte by byte", single, true});
    std::vector<uint8_t> junk(300, 0x0A);
    junk.insert(junk.end(), kHello.begin(), kHello.end());
    cases.push_back({"after other bytes", {junk}, true});
    std::vector<uint8_t> wrongLast(kHello.begin(), kHello.begin() + 7);
    wrongLast.push_back(0x00);
    cases.push_back({"seven right, one wrong", {wrongLast}, false});
    // The search goes on with the shifted window: the same seven, then the hello.
    std::vector<uint8_t> seven(kHello.begin(), kHello.begin() + 7);
    seven.insert(seven.end(), kHello.begin(), kHello.end());
    cases.push_back({"seven right, then the hello", {seven}, true});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (proxy->ServerConnected()) {
            phone.Queue(FrameBytes(LINK_USB_DISCONNECT));
            ASSERT_GE(sink.WaitFor([](const EngineEvent& e) { return Is(e, EV_USB_SERVER, 0); },
                                   3000, sink.Count()),
                      0);
        }
        size_t events = sink.Count();
        int connectedBefore = CountOf(EV_USB_SERVER, 1);
        size_t frames = phone.Count();
        for (const auto& chunk : c.chunks) {
            ASSERT_TRUE(usb.Write(chunk.data(), chunk.size()));
            platform::SleepMs(15);
        }
        if (!c.connects) {
            platform::SleepMs(300);
            EXPECT_FALSE(proxy->ServerConnected());
            EXPECT_EQ(CountOf(EV_USB_SERVER, 1), connectedBefore);
            continue;
        }
        ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000, events), 0);
        int first = phone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, frames);
        ASSERT_GE(first, 0);
        EXPECT_EQ(phone.Frames()[first].type, LINK_SYNC_CONFIG);
        EXPECT_EQ(phone.Frames()[first].payload, kSyncConfigOff);
        EXPECT_EQ(CountOf(EV_USB_SERVER, 1), connectedBefore + 1) << "switched exactly once";
    }
}

// The phone's server goes and comes back at once: the hello already waits behind
// the disconnect when the search resumes, so it is found without a wait. The
// phone must still be told the sync configuration before anything else.
TEST_F(LinkTest, HelloRightBehindADisconnectAnnouncesTheSyncConfiguration) {
    StartConnected();
    std::vector<uint8_t> reply = FrameBytes(LINK_USB_DISCONNECT);
    reply.insert(reply.end(), kHello.begin(), kHello.end());
    size_t events = sink.Count();
    size_t frames = phone.Count();  // the first configuration lies before this
    phone.Queue(reply);
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 0, 3000, events), 0);
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000, events), 0);
    EXPECT_GE(phone.WaitForType(LINK_SYNC_CONFIG, 3000, frames), 0) << Describe(sink.Events());
}

TEST_F(LinkTest, IdleLinkPollsOnceASecondAndReportsStatistics) {
    std::vector<uint32_t> statTicks;
    std::vector<TrafficStats> stats;
    std::mutex mutex;
    sink.hook = [&](const EngineEvent& e) {
        if (e.Code != EV_STATISTICS) return;
        std::lock_guard<std::mutex> lock(mutex);
        statTicks.push_back(platform::TickCount());
        stats.push_back(e.Stats);
    };
    StartConnected();
    // Five idle polls after the announcement; the bound is for a loaded machine.
    size_t from = phone.Count();
    ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 15000, from + 4), 0);
    std::vector<LinkFrameRecord> frames = phone.Frames();
    std::vector<uint32_t> polls;
    for (size_t i = from; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].type, LINK_DATA);
        EXPECT_TRUE(frames[i].payload.empty());
        polls.push_back(frames[i].tick);
    }
    // Never faster than once a second; the upper bounds only catch a skipped
    // poll or report, with room for a loaded machine (the pace tests check the
    // wait the loop asks for, without a clock).
    for (size_t i = 1; i < polls.size(); ++i) {
        EXPECT_GE(polls[i] - polls[i - 1], 900u);
        EXPECT_LE(polls[i] - polls[i - 1], 1900u);
    }
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(statTicks.size(), 2u);
    for (size_t i = 1; i < statTicks.size(); ++i) {
        EXPECT_GE(statTicks[i] - statTicks[i - 1], 2000u);
        EXPECT_LE(statTicks[i] - statTicks[i - 1], 3900u);
        // Each idle exchange is three bytes each way.
        EXPECT_GT(stats[i].Sent, stats[i - 1].Sent);
        EXPECT_EQ((stats[i].Received - stats[i - 1].Received) % 3, 0u);
        EXPECT_GE(stats[i].ReceiveRate, 1u);
        EXPECT_LE(stats[i].ReceiveRate, 3u);
    }
}

// Viewer bytes go out as LINK_DATA and the phone's LINK_DATA comes back to the
// viewer: a 200 KB stream each way through a phone that answers every data
// frame with its bytes transformed.
TEST_F(LinkTest, ViewerStreamCrossesTheLinkBothWays) {
    phone.SetAnswer([](const LinkFrameRecord& f) {
        if (f.type != LINK_DATA || f.payload.empty()) return FrameBytes(LINK_DATA);
        std::vector<uint8_t> out = f.payload;
        for (uint8_t& b : out) b ^= 0x5A;
        return FrameBytes(LINK_DATA, out);
    });
    StartConnected();
    Peer viewer;
    ConnectViewer(viewer);

    std::vector<uint8_t> sent(200 * 1024);
    std::mt19937 random(7);
    for (uint8_t& b : sent) b = static_cast<uint8_t>(random());
    std::thread sender([&] { viewer.SendAll(sent.data(), sent.size()); });
    std::vector<uint8_t> received;
    uint8_t buffer[8192];
    while (received.size() < sent.size()) {
        int n = viewer.Receive(buffer, sizeof buffer, 5000);
        if (n <= 0) break;
        received.insert(received.end(), buffer, buffer + n);
    }
    sender.join();
    ASSERT_EQ(received.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(received[i], sent[i] ^ 0x5A) << "at byte " << i;
    for (const LinkFrameRecord& f : phone.Frames()) EXPECT_LE(f.payload.size(), kLinkMaxPayload);
}

TEST_F(LinkTest, ReplyOf4096IsAcceptedAnd4097StopsTheEngine) {
    StartConnected();
    Peer viewer;
    ConnectViewer(viewer);
    std::vector<uint8_t> full(4096, 0xA5);
    phone.Queue(FrameBytes(LINK_DATA, full));
    phone.Queue(FrameBytes(LINK_DATA, 4097, {}));
    std::vector<uint8_t> got;
    uint8_t buffer[8192];
    while (got.size() < full.size()) {
        int n = viewer.Receive(buffer, sizeof buffer, 3000);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, full);
    ASSERT_GE(sink.WaitForCode(EV_LINK_ERROR, MSG_ERR_TOO_LONG, 3000), 0);
    ASSERT_GE(sink.WaitForCode(EV_PROXY_RUNNING, 0, 3000), 0) << Describe(sink.Events());
    EXPECT_FALSE(proxy->Running());
}

TEST_F(LinkTest, RepliesOfInvalidTypeStopTheEngine) {
    for (uint8_t type : {uint8_t{1}, uint8_t{2}, uint8_t{3}, uint8_t{10}, uint8_t{255}}) {
        SCOPED_TRACE(static_cast<int>(type));
        size_t events = sink.Count();
        if (proxy) {
            proxy.reset();
            phone.Stop();
            usb.ReadSome(nullptr, 0, 0);
        }
        StartConnected();
        phone.Queue(FrameBytes(type));
        ASSERT_GE(sink.WaitForCode(EV_LINK_ERROR, MSG_ERR_INVALID_TYPE, 3000, events), 0);
        ASSERT_GE(sink.WaitForCode(EV_PROXY_RUNNING, 0, 3000, events), 0);
    }
}

TEST_F(LinkTest, UsbDisconnectAndCloseClientFromThePhone) {
    StartConnected();
    Peer viewer;
    ConnectViewer(viewer);

    size_t frames = phone.Count();
    size_t events = sink.Count();
    phone.Queue(FrameBytes(LINK_CLOSE_CLIENT));
    ASSERT_GE(sink.WaitForCode(EV_CLIENT, 0, 3000, events), 0);
    EXPECT_TRUE(viewer.ClosedWithin(3000));
    ASSERT_GE(phone.WaitForType(LINK_CLIENT_DISCONNECTED, 3000, frames), 0);
    EXPECT_TRUE(proxy->ServerConnected());

    Peer second;
    ConnectViewer(second);
    events = sink.Count();
    phone.Queue(FrameBytes(LINK_USB_DISCONNECT));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 0, 3000, events), 0);
    // No server any more: the viewer is let go and the phone is not polled.
    ASSERT_GE(sink.WaitForCode(EV_CLIENT, 0, 3000, events), 0);
    EXPECT_TRUE(second.ClosedWithin(3000));
    frames = phone.Count();
    platform::SleepMs(1300);
    EXPECT_EQ(phone.Count(), frames);
    EXPECT_EQ(CountOf(EV_MESSAGE, MSG_LOST_USB_PORT), 0) << "the port stays open";

    // The search resumes: the next hello reconnects and is announced.
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000, events), 0);
    int first = phone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, frames);
    ASSERT_GE(first, 0);
    EXPECT_EQ(phone.Frames()[first].type, LINK_SYNC_CONFIG);
}

TEST_F(LinkTest, StopWithServerAndViewerConnected) {
    StartConnected();
    Peer viewer;
    ConnectViewer(viewer);
    // What the phone had received when the USB port was reported lost.
    std::atomic<int> lastTypeAtLoss{-1};
    sink.hook = [&](const EngineEvent& e) {
        if (Is(e, EV_MESSAGE, MSG_LOST_USB_PORT)) lastTypeAtLoss = phone.Frames().back().type;
    };
    // A stop seen inside an exchange ends the worker without EV_CLIENT 0, so
    // stop while the engine waits between two exchanges.
    HoldNextWait(PollPace::kIdleMs);
    ASSERT_TRUE(WaitUntilHeld(3000));
    size_t events = sink.Count();
    proxy->Shutdown();
    ASSERT_FALSE(proxy->Running());
    std::vector<EngineEvent> tail = EventsSince(events);
    ASSERT_EQ(tail.size(), 4u) << Describe(tail);
    EXPECT_TRUE(Is(tail[0], EV_CLIENT, 0));
    EXPECT_TRUE(Is(tail[1], EV_USB_SERVER, 0));
    EXPECT_TRUE(Is(tail[2], EV_MESSAGE, MSG_LOST_USB_PORT));
    EXPECT_TRUE(Is(tail[3], EV_PROXY_RUNNING, 0));
    EXPECT_EQ(lastTypeAtLoss, LINK_CLIENT_DISCONNECTED);
    EXPECT_TRUE(viewer.ClosedWithin(2000));
}

// A hello read that fails at once closes the USB port instead of leaving it
// open and deaf. The shim fails the tty's reads right after the three bytes of
// the phone's LINK_USB_DISCONNECT, so the resumed hello search cannot start.
TEST_F(LinkTest, HelloReadThatFailsAtOnceClosesTheUsbPort) {
    ModemLines faults;
    StartConnected();
    // Between two exchanges: the next one is the one answered below.
    HoldNextWait(PollPace::kIdleMs);
    ASSERT_TRUE(WaitUntilHeld(3000));
    size_t events = sink.Count();
    faults.FailReadsAfter(usb.SlavePath(), 3);
    phone.Queue(FrameBytes(LINK_USB_DISCONNECT));
    ReleaseWait();
    ASSERT_GE(sink.WaitForCode(EV_MESSAGE, MSG_LOST_USB_PORT, 3000, events), 0)
        << Describe(sink.Events());
    std::vector<EngineEvent> tail = EventsSince(events);
    ASSERT_GE(tail.size(), 3u) << Describe(tail);
    EXPECT_TRUE(Is(tail[0], EV_USB_SERVER, 0)) << Describe(tail);
    EXPECT_EQ(tail[1].Code, EV_SYSTEM_ERROR);
    EXPECT_EQ(tail[1].Error.MessageId, static_cast<uint32_t>(MSG_ERR_RECV_SERVER));
    EXPECT_EQ(tail[1].Error.Code, static_cast<uint32_t>(EIO));
    EXPECT_TRUE(Is(tail[2], EV_MESSAGE, MSG_LOST_USB_PORT));

    // Closed, the port is opened again on the same pass and the search restarts.
    faults.FailReadsAfter(usb.SlavePath(), 1 << 30);
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1, 3000, events), 0);
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000, events), 0);
    EXPECT_TRUE(proxy->Running());
}

// Bluetooth: a second pty whose modem lines the shim reports, with and without
// TIOCMIWAIT (the parameter: true answers as Linux's RFCOMM tty does).
class BluetoothLinkTest : public LinkTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(bt.Open());
        lines = std::make_unique<ModemLines>();
        lines->SetRfcomm(GetParam());
    }
    void TearDown() override {
        LinkTest::TearDown();
        btPhone.Stop();
        lines.reset();
    }
    Settings BothSettings() {
        Settings s = UsbSettings();
        std::strcpy(s.BTComPort, bt.SlavePath());
        return s;
    }
    PtyPair bt;
    ScriptedPhone btPhone{bt};
    std::unique_ptr<ModemLines> lines;
};

TEST_P(BluetoothLinkTest, WithBothServersUpTrafficUsesUsb) {
    lines->Set(bt.SlavePath(), 0);
    btPhone.Start();
    phone.Start();
    StartEngine(BothSettings());
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0) << Describe(sink.Events());
    ASSERT_EQ(sink.Events()[1].Code, EV_BT_PORT_OPENED);
    EXPECT_STREQ(sink.Events()[1].Text, bt.SlavePath());

    // The phone's server appears on Bluetooth: CTS and DSR up.
    lines->Set(bt.SlavePath(), TIOCM_CTS | TIOCM_DSR);
    ASSERT_GE(sink.WaitForCode(EV_BT_SERVER, 1, 3000), 0) << Describe(sink.Events());
    ASSERT_GE(btPhone.WaitForType(LINK_SYNC_CONFIG, 3000), 0);
    EXPECT_EQ(btPhone.Frames()[0].type, LINK_SYNC_CONFIG);

    // Then on USB as well: from now on the link runs there.
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000), 0);
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG, 3000), 0);
    size_t btFrames = btPhone.Count();
    Peer viewer;
    ConnectViewer(viewer);
    ASSERT_TRUE(viewer.SendAll("via usb", 7));
    int data = phone.WaitFor(
        [](const LinkFrameRecord& f) { return f.type == LINK_DATA && !f.payload.empty(); }, 3000);
    ASSERT_GE(data, 0);
    std::vector<uint8_t> payload = phone.Frames()[data].payload;
    EXPECT_EQ(std::string(payload.begin(), payload.end()), "via usb");
    platform::SleepMs(1200);
    EXPECT_EQ(btPhone.Count(), btFrames);

    // The Bluetooth lines drop while USB still serves: the engine stays connected.
    lines->Set(bt.SlavePath(), TIOCM_CTS);
    platform::SleepMs(300);
    EXPECT_TRUE(proxy->ServerConnected());
    EXPECT_TRUE(proxy->ClientConnected());
}

TEST_P(BluetoothLinkTest, PhoneStoppingMidFrameTimesOutAndBothPortsReopen) {
    lines->Set(bt.SlavePath(), 0);
    phone.Start();
    StartEngine(BothSettings(), 300);
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0);
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1), 0);
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG), 0);

    size_t events = sink.Count();
    // Ten bytes announced, four sent, then silence.
    phone.Queue(FrameBytes(LINK_DATA, 10, {1, 2, 3, 4}));
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1, 3000, events), 0) << Describe(sink.Events());
    std::vector<EngineEvent> tail = EventsSince(events);
    ASSERT_GE(tail.size(), 6u) << Describe(tail);
    EXPECT_EQ(tail[0].Code, EV_SYSTEM_ERROR);
    EXPECT_EQ(tail[0].Error.MessageId, static_cast<uint32_t>(MSG_ERR_RECV_SERVER));
    EXPECT_EQ(tail[0].Error.Code, static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_TRUE(Is(tail[1], EV_MESSAGE, MSG_LOST_BT_PORT));
    EXPECT_TRUE(Is(tail[2], EV_USB_SERVER, 0));
    EXPECT_TRUE(Is(tail[3], EV_MESSAGE, MSG_LOST_USB_PORT));
    EXPECT_EQ(tail[4].Code, EV_BT_PORT_OPENED);
    EXPECT_EQ(tail[5].Code, EV_USB_PORT_OPENED);
    EXPECT_TRUE(proxy->Running());

    // The link recovers by reopening: a new hello connects again.
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000, events), 0);
}

TEST_P(BluetoothLinkTest, PortWithoutModemLinesStopsTheEngine) {
    lines->Remove(bt.SlavePath());
    StartEngine(BothSettings());
    ASSERT_GE(sink.WaitForCode(EV_PROXY_RUNNING, 0, 3000), 0) << Describe(sink.Events());
    int error = sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYSTEM_ERROR; }, 0);
    ASSERT_GE(error, 0);
    EXPECT_EQ(sink.Events()[error].Error.MessageId, static_cast<uint32_t>(MSG_ERR_SERVER_STATE));
    EXPECT_EQ(sink.Events()[error].Error.Code, static_cast<uint32_t>(ENOTTY));
}

// With USBComAuto the port is discovered on every attempt to open it: here a
// fake sysfs tree names ttyACMn and a fake /dev maps it onto ptys.
TEST_F(LinkTest, AutoDiscoveryFindsTheUsbPortAgainOnEveryOpen) {
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("kivro-sysfs-" + std::to_string(getpid()));
    fs::remove_all(root);
    auto addAcm = [&](int n, const char* target) {
        fs::path tty = root / "sys/class/tty" / ("ttyACM" + std::to_string(n));
        fs::create_directories(tty / "device");
        fs::create_directories(root / "sys/bus/usb/drivers/cdc_acm");
        fs::create_symlink(root / "sys/bus/usb/drivers/cdc_acm", tty / "device" / "driver");
        fs::create_directories(root / "dev");
        fs::create_symlink(target, root / "dev" / ("ttyACM" + std::to_string(n)));
    };
    addAcm(3, usb.SlavePath());
    setenv("KIVRO_SYSFS_ROOT", (root / "sys").c_str(), 1);
    setenv("KIVRO_DEV_ROOT", (root / "dev").c_str(), 1);

    Settings s = TestSettings(FreePort());
    s.USBComAuto = true;
    std::strcpy(s.USBComPort, "unused");
    phone.Start();
    StartEngine(s, 300);
    int opened = sink.WaitForCode(EV_USB_PORT_OPENED, 1);
    ASSERT_GE(opened, 0) << Describe(sink.Events());
    EXPECT_EQ(std::string(sink.Events()[opened].Text), (root / "dev/ttyACM3").string());
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1), 0);

    // A lower-numbered port appears; after the link fails, the reopening finds it.
    PtyPair other;
    ASSERT_TRUE(other.Open());
    addAcm(1, other.SlavePath());
    size_t events = sink.Count();
    phone.Queue(FrameBytes(LINK_DATA, 10, {}));
    opened = sink.WaitForCode(EV_USB_PORT_OPENED, 1, 3000, events);
    ASSERT_GE(opened, 0) << Describe(sink.Events());
    EXPECT_EQ(std::string(sink.Events()[opened].Text), (root / "dev/ttyACM1").string());
    EXPECT_STREQ(s.USBComPort, "unused");

    proxy->Shutdown();
    unsetenv("KIVRO_SYSFS_ROOT");
    unsetenv("KIVRO_DEV_ROOT");
    fs::remove_all(root);
}

// For a phone whose answer uses a test's locals: it ends before they do.
struct StopsFirst {
    ScriptedPhone& phone;
    ~StopsFirst() { phone.Stop(); }
};

// The phone's server is up on Bluetooth from the start.
class BluetoothServerTest : public BluetoothLinkTest {
  protected:
    void StartOnBluetooth(uint32_t linkTimeoutMs = 2000) {
        lines->Set(bt.SlavePath(), TIOCM_CTS | TIOCM_DSR);
        btPhone.Start();
        StartEngine(BothSettings(), linkTimeoutMs);
        ASSERT_GE(sink.WaitForCode(EV_BT_SERVER, 1), 0) << Describe(sink.Events());
        ASSERT_GE(btPhone.WaitForType(LINK_SYNC_CONFIG), 0) << Describe(sink.Events());
    }
    static bool IsPoll(const LinkFrameRecord& f) {
        return f.type == LINK_DATA && f.payload.empty();
    }
    int FramesOf(uint8_t type) {
        int n = 0;
        for (const LinkFrameRecord& f : btPhone.Frames()) n += f.type == type;
        return n;
    }
};

// Lines that stay up are one server appearance: one sync configuration, then
// the usual polls, whether the driver waits for the lines or they are polled.
TEST_P(BluetoothServerTest, SteadyLinesAreAnnouncedOnceAndThePhoneIsPolled) {
    StartOnBluetooth();
    size_t from = btPhone.Count();
    int first = btPhone.WaitFor(IsPoll, 3000, from);
    ASSERT_GE(first, 0) << "no poll after the sync configuration";
    ASSERT_GE(btPhone.WaitFor(IsPoll, 3000, first + 1), 0) << "no second poll";
    EXPECT_EQ(FramesOf(LINK_SYNC_CONFIG), 1);
    EXPECT_EQ(CountOf(EV_BT_SERVER, 1), 1);
    EXPECT_EQ(CountOf(EV_BT_SERVER, 0), 0);
}

// A Bluetooth line that drops while the link runs over USB: the USB exchange in
// flight completes and the viewer stays. The phone holds its reply until the
// engine has read the changed lines (seen through the shim's read count).
TEST_P(BluetoothServerTest, BluetoothLineChangeDoesNotAbortAUsbTransfer) {
    phone.SetAnswer([&](const LinkFrameRecord& f) {
        if (f.type != LINK_DATA || f.payload != std::vector<uint8_t>{'h', 'o', 'l', 'd'})
            return FrameBytes(LINK_DATA);
        lines->Set(bt.SlavePath(), TIOCM_CTS);
        int reads = lines->Reads(bt.SlavePath());
        // The watcher's read that saw the change, then the engine's own reads.
        for (int i = 0; i < 300 && lines->Reads(bt.SlavePath()) < reads + 2; ++i)
            platform::SleepMs(10);
        return FrameBytes(LINK_DATA, {'o', 'k'});
    });
    phone.Start();
    StartOnBluetooth(5000);  // the phone's hold stays well inside the time-out
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000), 0);
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG, 3000), 0);
    Peer viewer;
    ConnectViewer(viewer);
    lines->CountReads(bt.SlavePath());
    size_t events = sink.Count();

    ASSERT_TRUE(viewer.SendAll("hold", 4));
    char reply[2] = {};
    ASSERT_EQ(viewer.Receive(reply, sizeof reply, 5000), 2) << Describe(sink.Events());
    EXPECT_EQ(std::string(reply, 2), "ok");
    EXPECT_GE(lines->Reads(bt.SlavePath()), 2) << "the engine never read the changed lines";
    EXPECT_EQ(CountOf(EV_MESSAGE, MSG_LOST_USB_PORT), 0) << Describe(EventsSince(events));
    EXPECT_EQ(CountOf(EV_MESSAGE, MSG_LOST_BT_PORT), 0) << Describe(EventsSince(events));
    EXPECT_TRUE(proxy->ClientConnected());
    EXPECT_TRUE(proxy->ServerConnected());
}

// A read error in the middle of a reply on Bluetooth: the rest of that reply
// (bytes that would read as a header too long to accept) is thrown away when
// the port opens again, and the server found there is announced first.
TEST_P(BluetoothServerTest, ReadErrorMidReplyIsRecoveredFrom) {
    std::atomic<bool> cut{false};
    std::atomic<int> answered{0}, cutFrame{-1};
    btPhone.SetAnswer([&](const LinkFrameRecord& f) {
        int index = answered++;  // every frame is answered here: its index
        if (!IsPoll(f) || !cut.exchange(false)) return FrameBytes(LINK_DATA);
        cutFrame = index;
        // Header and four payload bytes are read, then the driver fails once.
        lines->FailOneReadAfter(bt.SlavePath(), 7);
        return FrameBytes(LINK_DATA, {1, 2, 3, 4, 0x07, 0x20, 0x00, 9, 9, 9});
    });
    StopsFirst stopPhone{btPhone};
    StartOnBluetooth();
    size_t events = sink.Count();
    cut = true;
    int error =
        sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYSTEM_ERROR; }, 5000, events);
    ASSERT_GE(error, 0) << Describe(sink.Events());
    EXPECT_EQ(sink.Events()[error].Error.MessageId, static_cast<uint32_t>(MSG_ERR_RECV_SERVER));
    EXPECT_EQ(sink.Events()[error].Error.Code, static_cast<uint32_t>(EIO));
    ASSERT_GE(sink.WaitForCode(EV_BT_PORT_OPENED, 1, 3000, error), 0);

    // After the cut poll: the announcement, then polls answered as usual.
    ASSERT_GE(cutFrame, 0);
    int next = btPhone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, cutFrame + 1);
    ASSERT_GE(next, 0) << Describe(sink.Events());
    EXPECT_EQ(btPhone.Frames()[next].type, LINK_SYNC_CONFIG);
    ASSERT_GE(btPhone.WaitFor(IsPoll, 3000, next + 1), 0) << Describe(sink.Events());
    EXPECT_EQ(sink.WaitForCode(EV_LINK_ERROR, MSG_ERR_TOO_LONG, 0, events), -1);
    EXPECT_TRUE(proxy->Running());
}

// A link error (here a reply cut off, then silence) closes and reopens both
// ports; the server still up on Bluetooth is announced again, as on USB.
TEST_P(BluetoothServerTest, ServerStillUpAfterALinkErrorIsAnnouncedAgain) {
    std::atomic<bool> cut{false};
    std::atomic<int> answered{0}, cutFrame{-1};
    btPhone.SetAnswer([&](const LinkFrameRecord&) {
        int index = answered++;
        if (!cut.exchange(false)) return FrameBytes(LINK_DATA);
        cutFrame = index;
        return FrameBytes(LINK_DATA, 10, {1, 2, 3, 4});
    });
    StopsFirst stopPhone{btPhone};
    StartOnBluetooth(300);
    size_t events = sink.Count();
    cut = true;
    int error =
        sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYSTEM_ERROR; }, 3000, events);
    ASSERT_GE(error, 0) << Describe(sink.Events());
    EXPECT_EQ(sink.Events()[error].Error.Code, static_cast<uint32_t>(ETIMEDOUT));
    ASSERT_GE(sink.WaitForCode(EV_BT_SERVER, 1, 3000, error), 0) << Describe(sink.Events());
    ASSERT_GE(cutFrame, 0);
    int next = btPhone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, cutFrame + 1);
    ASSERT_GE(next, 0) << Describe(sink.Events());
    EXPECT_EQ(btPhone.Frames()[next].type, LINK_SYNC_CONFIG) << Describe(sink.Events());
}

INSTANTIATE_TEST_SUITE_P(Drivers, BluetoothLinkTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Rfcomm" : "Miwait";
                         });
INSTANTIATE_TEST_SUITE_P(Drivers, BluetoothServerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Rfcomm" : "Miwait";
                         });

// A hello already waiting in the USB port is found, both when the port is first
// opened and when it opens again after a read error cut a reply short: what
// is thrown away on Bluetooth after a failed exchange is never the USB hello.
TEST_F(LinkTest, HelloWaitingInTheUsbPortIsFoundAtOpenAndAfterAReadError) {
    ModemLines faults;
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    phone.Start();
    StartEngine(UsbSettings());
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1), 0) << Describe(sink.Events());
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG), 0);

    std::atomic<bool> cut{false};
    std::atomic<int> answered{0}, cutFrame{-1};
    phone.SetAnswer([&](const LinkFrameRecord&) {
        int index = answered++;
        if (!cut.exchange(false)) return FrameBytes(LINK_DATA);
        cutFrame = index;
        // The phone restarts mid-reply: the rest of it, then its hello.
        faults.FailOneReadAfter(usb.SlavePath(), 7);
        std::vector<uint8_t> reply = FrameBytes(LINK_DATA, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
        reply.insert(reply.end(), kHello.begin(), kHello.end());
        return reply;
    });
    StopsFirst stopPhone{phone};
    size_t events = sink.Count();
    size_t frames = phone.Count();
    cut = true;
    int error =
        sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYSTEM_ERROR; }, 5000, events);
    ASSERT_GE(error, 0) << Describe(sink.Events());
    EXPECT_EQ(sink.Events()[error].Error.Code, static_cast<uint32_t>(EIO));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 3000, error), 0) << Describe(sink.Events());
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG, 3000, std::max<size_t>(frames, cutFrame + 1)), 0);
}

// One deadline per transfer: a phone that sends its reply a byte at a time,
// each well within the time-out, still fails the read once the whole reply
// has taken longer than the time-out.
TEST_F(LinkTest, TricklingReplyTimesOutOnce) {
    std::atomic<bool> trickle{false};
    std::atomic<int> trickled{0};
    size_t events = 0;
    auto failed = [&] {
        return sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYSTEM_ERROR; }, 0,
                            events) >= 0;
    };
    phone.SetAnswer([&](const LinkFrameRecord&) {
        if (!trickle.exchange(false)) return FrameBytes(LINK_DATA);
        std::vector<uint8_t> header = FrameBytes(LINK_DATA, 20, {});
        usb.Write(header.data(), header.size());
        for (int i = 0; i < 20 && !failed(); ++i) {
            platform::SleepMs(100);
            usb.Write("x", 1);
            ++trickled;
        }
        return std::vector<uint8_t>{};
    });
    StopsFirst stopPhone{phone};
    StartConnected(500);
    events = sink.Count();
    trickle = true;
    int error =
        sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYSTEM_ERROR; }, 5000, events);
    ASSERT_GE(error, 0) << "the trickle was read to its end: " << trickled;
    EXPECT_EQ(sink.Events()[error].Error.MessageId, static_cast<uint32_t>(MSG_ERR_RECV_SERVER));
    EXPECT_EQ(sink.Events()[error].Error.Code, static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_LT(trickled, 20);
}

}  // namespace
}  // namespace kivro::test

#endif
