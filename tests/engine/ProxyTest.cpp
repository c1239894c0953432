// The engine against real loopback TCP: start failures and their full release,
// the event order at the worker's start and end, one viewer at a time with the
// next one waiting in the backlog, the ways a viewer goes away, a viewer that
// reads slowly, two engines side by side, and an engine without a sink.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "engine/Proxy.h"
#include "platform/System.h"
#include "text/Messages.h"

namespace kivro::test {
namespace {

using namespace std::chrono_literals;

bool IsClientText(const EngineEvent& e) { return e.Code == EV_CLIENT && e.Text[0] != '\0'; }

std::vector<EngineEvent> Errors(RecordingSink& sink) {
    std::vector<EngineEvent> errors;
    for (const EngineEvent& e : sink.Events())
        if (IsError(e)) errors.push_back(e);
    return errors;
}

// A started engine on a free port with a recording sink.
class RunningProxy : public ::testing::Test {
protected:
    void StartEngine(uint32_t linkTimeoutMs = 60000) {
        proxy = std::make_unique<Proxy>(linkTimeoutMs);
        port = FreePort();
        ASSERT_TRUE(proxy->Start(&sink, TestSettings(port))) << Describe(sink.Events());
        ASSERT_GE(sink.WaitForCode(EV_PROXY_RUNNING, 1), 0);
    }
    // Connects a viewer and waits until the engine has taken it.
    void ConnectViewer(Peer& viewer, int receiveBuffer = 0) {
        size_t from = sink.Count();
        ASSERT_TRUE(viewer.Connect(port, receiveBuffer));
        ASSERT_GE(sink.WaitFor(IsClientText, 5000, from), 0) << Describe(sink.Events());
    }
    void TearDown() override {
        if (proxy) {
            proxy->Shutdown();
            proxy.reset();
        }
    }

    RecordingSink sink;
    std::unique_ptr<Proxy> proxy;
    uint16_t port = 0;
};

TEST_F(RunningProxy, EventOrderAtStartAndStopWithViewer) {
    StartEngine();
    EXPECT_TRUE(proxy->Running());
    Peer viewer;
    ConnectViewer(viewer);
    EXPECT_TRUE(proxy->ClientConnected());
    EXPECT_FALSE(proxy->ServerConnected());
    EXPECT_FALSE(proxy->SyncEnabled());

    proxy->Shutdown();
    EXPECT_FALSE(proxy->Running());
    EXPECT_FALSE(proxy->ClientConnected());
    EXPECT_TRUE(viewer.ClosedWithin(5000));

    std::vector<EngineEvent> events = sink.Events();
    ASSERT_EQ(events.size(), 5u) << Describe(events);
    EXPECT_EQ(events[0].Code, EV_PROXY_RUNNING);
    EXPECT_EQ(events[0].Value, 1u);
    EXPECT_EQ(events[1].Code, EV_MESSAGE);
    EXPECT_EQ(events[1].Value, static_cast<uint32_t>(MSG_NO_PORTS));
    EXPECT_EQ(events[2].Code, EV_CLIENT);
    EXPECT_STREQ(events[2].Text, "127.0.0.1");
    EXPECT_EQ(events[3].Code, EV_CLIENT);
    EXPECT_EQ(events[3].Value, 0u);
    EXPECT_STREQ(events[3].Text, "");
    EXPECT_EQ(events[4].Code, EV_PROXY_RUNNING);
    EXPECT_EQ(events[4].Value, 0u);
}

TEST_F(RunningProxy, RestartsOnTheSamePort) {
    StartEngine();
    Peer viewer;
    ConnectViewer(viewer);
    proxy->Shutdown();
    ASSERT_FALSE(proxy->Running());
    // The closed viewer connection lingers in TIME_WAIT; the port must still be usable.
    ASSERT_TRUE(proxy->Start(&sink, TestSettings(port))) << Describe(sink.Events());
    Peer second;
    ConnectViewer(second);
    EXPECT_TRUE(Errors(sink).empty()) << Describe(sink.Events());
}


// ---- start failures: reported, Running false, nothing left open

struct StartFailure {
    const char* name;
    int32_t tcpPort;  // 0: the port another socket listens on
    int32_t maxSyncSize;
    uint32_t code;
};

void PrintTo(const StartFailure& c, std::ostream* out) { *out << c.name; }

class StartFails : public ::testing::TestWithParam<StartFailure> {};

TEST_P(StartFails, ReportsAndReleasesEverything) {
    const StartFailure& c = GetParam();
    Peer occupant;
    uint16_t busy = FreePort();
    ASSERT_TRUE(occupant.Listen(busy));
    Settings settings = TestSettings(busy);
    if (c.tcpPort != 0) settings.TCPPort = c.tcpPort;
    settings.MaxSyncSize = c.maxSyncSize;

    RecordingSink sink;
    Proxy proxy;
    int before = OpenDescriptorCount();
    EXPECT_FALSE(proxy.Start(&sink, settings));
    if (before >= 0) {
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
    EXPECT_FALSE(proxy.Running());
    EXPECT_FALSE(proxy.ClientConnected());

    std::vector<EngineEvent> events = sink.Events();
    ASSERT_EQ(events.size(), 1u) << Describe(events);
    EXPECT_EQ(events[0].Code, EV_SOCKET_ERROR);
    EXPECT_EQ(events[0].Error.MessageId, static_cast<uint32_t>(MSG_ERR_LISTEN));
    EXPECT_EQ(events[0].Error.Code, c.code == 0 ? AddressInUseCode() : c.code);

    // A failed start leaves the engine ready for a good one.
    occupant.Close();
    ASSERT_TRUE(proxy.Start(&sink, TestSettings(FreePort()))) << Describe(sink.Events());
    EXPECT_GE(sink.WaitForCode(EV_PROXY_RUNNING, 1), 0);
    proxy.Shutdown();
    EXPECT_FALSE(proxy.Running());
}

const uint32_t kInvalid = platform::ErrorCodes::InvalidArgument;

INSTANTIATE_TEST_SUITE_P(Proxy, StartFails,
                         ::testing::Values(StartFailure{"PortInUse", 0, 131072, 0},
                                           StartFailure{"NegativePort", -1, 131072, kInvalid},
                                           StartFailure{"PortAbove65535", 65536, 131072, kInvalid},
                                           StartFailure{"NegativeSyncSize", 0, -1, kInvalid}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyLifetime, NothingStaysOpenAfterARunAndDestruction) {
    int before = OpenDescriptorCount();
    {
        RecordingSink sink;
        Proxy proxy;
        uint16_t port = FreePort();
        ASSERT_TRUE(proxy.Start(&sink, TestSettings(port)));
        Peer viewer;
        ASSERT_TRUE(viewer.Connect(port));
        ASSERT_GE(sink.WaitFor(IsClientText), 0);
        proxy.Shutdown();
        EXPECT_FALSE(proxy.Running());
    }
    if (before >= 0) {
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
}

// ---- viewers

TEST_F(RunningProxy, SecondViewerWaitsInBacklogAndTakesOver) {
    StartEngine();
    Peer first;
    ConnectViewer(first);
    size_t afterFirst = sink.Count();

    Peer second;
    ASSERT_TRUE(second.Connect(port));
    EXPECT_FALSE(second.ClosedWithin(300)) << "the waiting viewer must not be turned away";
    // While no phone server is connected the first viewer's bytes are dropped,
    // and its connection stays.
    std::vector<char> data(100000, 'x');
    ASSERT_TRUE(first.SendAll(data.data(), data.size()));
    EXPECT_FALSE(first.ClosedWithin(300));
    EXPECT_EQ(sink.Count(), afterFirst) << Describe(sink.Events());

    first.Close();
    int gone = sink.WaitForCode(EV_CLIENT, 0, 5000, afterFirst);
    ASSERT_GE(gone, 0) << Describe(sink.Events());
    int taken = sink.WaitFor(IsClientText, 5000, static_cast<size_t>(gone));
    ASSERT_GE(taken, 0) << Describe(sink.Events());
    EXPECT_STREQ(sink.Events()[taken].Text, "127.0.0.1");
    EXPECT_TRUE(proxy->ClientConnected());
    EXPECT_FALSE(second.ClosedWithin(200));
    EXPECT_TRUE(Errors(sink).empty()) << Describe(sink.Events());
}

struct Departure {
    const char* name;
    bool reset;
};

class ViewerLeaves : public RunningProxy, public ::testing::WithParamInterface<Departure> {};

TEST_P(ViewerLeaves, ClosesTheConnectionWithoutReport) {
    StartEngine();
    Peer viewer;
    ConnectViewer(viewer);
    size_t from = sink.Count();
    if (GetParam().reset) viewer.Reset();
    else viewer.Close();
    ASSERT_GE(sink.WaitForCode(EV_CLIENT, 0, 5000, from), 0) << Describe(sink.Events());
    EXPECT_FALSE(proxy->ClientConnected());
    EXPECT_TRUE(proxy->Running());

    Peer next;
    ConnectViewer(next);
    EXPECT_TRUE(Errors(sink).empty()) << Describe(sink.Events());
}

INSTANTIATE_TEST_SUITE_P(Proxy, ViewerLeaves,
                         ::testing::Values(Departure{"Orderly", false}, Departure{"Reset", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- sending to the viewer (the phone's bytes), driven from the worker thread
// through a sink hook that runs when the viewer has been accepted.

constexpr size_t kBulk = 8u << 20;  // far more than both socket buffers hold
constexpr int kSmallReceiveBuffer = 4096;

uint8_t PatternByte(size_t i) { return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF); }

std::vector<uint8_t> Pattern(size_t count) {
    std::vector<uint8_t> data(count);
    for (size_t i = 0; i < count; ++i) data[i] = PatternByte(i);
    return data;
}

class SendingProxy : public RunningProxy {
protected:
    // On the first accepted viewer: run `before` (worker thread), then send `data`.
    void SendOnAccept(std::function<void()> before = nullptr) {
        sink.hook = [this, before](const EngineEvent& e) {
            if (!IsClientText(e) || sent.exchange(true)) return;
            if (before) before();
            ProxyTestAccess::SendToClient(*proxy, data.data(), data.size());
            sendReturned = true;
        };
    }
    std::vector<uint8_t> data = Pattern(kBulk);
    std::atomic<bool> sent{false};
    std::atomic<bool> sendReturned{false};
};

TEST_F(SendingProxy, SlowViewerGetsEveryByteAndEngineGoesOn) {
    SendOnAccept();
    StartEngine();
    Peer viewer;
    ConnectViewer(viewer, kSmallReceiveBuffer);
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(sendReturned) << "the viewer's buffers took everything: nothing was slow";
    EXPECT_TRUE(proxy->Running());

    std::vector<uint8_t> buffer(65536);
    size_t got = 0;
    bool intact = true;
    while (got < kBulk) {
        int n = viewer.Receive(buffer.data(), buffer.size(), 5000);
        ASSERT_GT(n, 0) << "after " << got << " bytes";
        for (int i = 0; i < n && intact; ++i) intact = buffer[i] == PatternByte(got + i);
        got += static_cast<size_t>(n);
    }
    EXPECT_TRUE(intact);
    EXPECT_EQ(viewer.Receive(buffer.data(), buffer.size(), 200), -2) << "no byte twice";
    for (int i = 0; i < 50 && !sendReturned; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(sendReturned);
    EXPECT_TRUE(proxy->Running());
    EXPECT_TRUE(proxy->ClientConnected());
    EXPECT_TRUE(Errors(sink).empty()) << Describe(sink.Events());
}

TEST_F(SendingProxy, ViewerThatNeverReadsIsDroppedAfterTheLinkTimeout) {
    SendOnAccept();
    StartEngine(300);
    Peer viewer;
    ConnectViewer(viewer, kSmallReceiveBuffer);
    int error = sink.WaitFor(IsError, 10000);
    ASSERT_GE(error, 0) << Describe(sink.Events());
    EngineEvent e = sink.Events()[error];
    EXPECT_EQ(e.Code, EV_SOCKET_ERROR);
    EXPECT_EQ(e.Error.MessageId, static_cast<uint32_t>(MSG_ERR_SEND_CLIENT));
    EXPECT_EQ(e.Error.Code, platform::ErrorCodes::Timeout);
    EXPECT_GE(sink.WaitForCode(EV_CLIENT, 0, 5000, static_cast<size_t>(error)), 0);
    EXPECT_TRUE(viewer.ClosedWithin(5000));

    EXPECT_TRUE(proxy->Running());
    Peer next;
    ConnectViewer(next);
}

TEST_F(SendingProxy, StopEndsTheWaitForASlowViewer) {
    SendOnAccept();
    StartEngine();
    Peer viewer;
    ConnectViewer(viewer, kSmallReceiveBuffer);
    std::this_thread::sleep_for(300ms);
    ASSERT_FALSE(sendReturned);
    proxy->Shutdown();
    EXPECT_FALSE(proxy->Running());
    std::vector<EngineEvent> events = sink.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].Code, EV_CLIENT);
    EXPECT_EQ(events[events.size() - 2].Value, 0u);
    EXPECT_EQ(events.back().Code, EV_PROXY_RUNNING);
    EXPECT_EQ(events.back().Value, 0u);
    EXPECT_TRUE(Errors(sink).empty()) << Describe(events);
}

TEST_F(SendingProxy, SendToAResetViewerClosesItWithoutReport) {
    std::atomic<bool> viewerGone{false};
    SendOnAccept([&] {
        for (int i = 0; i < 100 && !viewerGone; ++i) std::this_thread::sleep_for(20ms);
    });
    StartEngine();
    Peer viewer;
    size_t from = sink.Count();
    ASSERT_TRUE(viewer.Connect(port));
    ASSERT_GE(sink.WaitFor(IsClientText, 5000, from), 0);
    viewer.Reset();
    viewerGone = true;
    ASSERT_GE(sink.WaitForCode(EV_CLIENT, 0, 5000, from), 0) << Describe(sink.Events());
    for (int i = 0; i < 50 && !sendReturned; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(sendReturned);
    EXPECT_TRUE(proxy->Running());
    EXPECT_FALSE(proxy->ClientConnected());
    EXPECT_TRUE(Errors(sink).empty()) << Describe(sink.Events());
}

// ---- engines side by side, no sink, error reports

TEST(ProxyInstances, StoppingOneLeavesTheOtherRunning) {
    RecordingSink sinkA, sinkB;
    Proxy a, b;
    uint16_t portB = FreePort();
    ASSERT_TRUE(a.Start(&sinkA, TestSettings(FreePort())));
    ASSERT_TRUE(b.Start(&sinkB, TestSettings(portB)));
    ASSERT_GE(sinkB.WaitForCode(EV_PROXY_RUNNING, 1), 0);
    a.Shutdown();
    ASSERT_FALSE(a.Running());

    Peer viewer;
    ASSERT_TRUE(viewer.Connect(portB));
    EXPECT_GE(sinkB.WaitFor(IsClientText), 0) << Describe(sinkB.Events());
    EXPECT_TRUE(b.Running());
    EXPECT_EQ(sinkB.WaitForCode(EV_PROXY_RUNNING, 0, 200), -1);
    EXPECT_TRUE(Errors(sinkA).empty()) << Describe(sinkA.Events());
    EXPECT_TRUE(Errors(sinkB).empty()) << Describe(sinkB.Events());
}

TEST(ProxyWithoutSink, RunsAndFailsQuietly) {
    Proxy proxy;
    uint16_t port = FreePort();
    ASSERT_TRUE(proxy.Start(nullptr, TestSettings(port)));
    Peer viewer;
    ASSERT_TRUE(viewer.Connect(port));
    for (int i = 0; i < 100 && !proxy.ClientConnected(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(proxy.ClientConnected());
    viewer.Reset();
    for (int i = 0; i < 100 && proxy.ClientConnected(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(proxy.ClientConnected());
    proxy.Shutdown();
    EXPECT_FALSE(proxy.Running());

    Peer occupant;
    ASSERT_TRUE(occupant.Listen(port));
    EXPECT_FALSE(proxy.Start(nullptr, TestSettings(port)));
    EXPECT_FALSE(proxy.Running());
}

TEST(ProxyReports, CodeZeroPostsNothingAndEachReportKeepsItsOwnData) {
    RecordingSink sink;
    Proxy proxy;
    ProxyTestAccess::SetSink(proxy, &sink);
    ProxyTestAccess::ReportSystemError(proxy, MSG_ERR_RECV_SERVER, 0);
    ProxyTestAccess::ReportSocketError(proxy, MSG_ERR_ACCEPT, 0);
    EXPECT_EQ(sink.Count(), 0u);
    ProxyTestAccess::ReportSystemError(proxy, MSG_ERR_RECV_SERVER, 1460);
    ProxyTestAccess::ReportSocketError(proxy, MSG_ERR_ACCEPT, 10054);
    std::vector<EngineEvent> events = sink.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Code, EV_SYSTEM_ERROR);
    EXPECT_EQ(events[0].Error.MessageId, static_cast<uint32_t>(MSG_ERR_RECV_SERVER));
    EXPECT_EQ(events[0].Error.Code, 1460u);
    EXPECT_EQ(events[1].Code, EV_SOCKET_ERROR);
    EXPECT_EQ(events[1].Error.MessageId, static_cast<uint32_t>(MSG_ERR_ACCEPT));
    EXPECT_EQ(events[1].Error.Code, 10054u);
}

}  // namespace
}  // namespace kivro::test
