// The platform contract the engine's single wait rests on: manual-reset events,
// the lowest signalled position winning, time-outs, and a socket's readiness
// showing on its event.
#include <gtest/gtest.h>

#include <thread>

#include "EngineTestSupport.h"
#include "WaitIndex.h"
#include "platform/Event.h"
#include "platform/Socket.h"

namespace kivro::test {
namespace {

using platform::Event;
using platform::Waitable;

TEST(PlatformEvent, LowestSignalledPositionWinsAndStaysUntilReset) {
    Event events[3];
    for (Event& e : events) ASSERT_TRUE(e.Create().Ok());
    Waitable set[3] = {events[0].Handle(), events[1].Handle(), events[2].Handle()};

    EXPECT_EQ(WaitIndex(set, 3, 0), platform::kWaitTimeout);
    EXPECT_EQ(WaitIndex(set, 3, 50), platform::kWaitTimeout);
    events[2].Set();
    events[1].Set();
    EXPECT_EQ(WaitIndex(set, 3, 1000), 1);
    EXPECT_EQ(WaitIndex(set, 3, 1000), 1) << "manual reset: a wait consumes nothing";
    events[1].Reset();
    EXPECT_EQ(WaitIndex(set, 3, 1000), 2);
    events[2].Reset();
    EXPECT_FALSE(events[2].IsSignalled());
    EXPECT_EQ(WaitIndex(set, 3, 0), platform::kWaitTimeout);

    // Moving the owner keeps the same event.
    Event moved = std::move(events[0]);
    moved.Set();
    EXPECT_EQ(WaitIndex(set, 3, 0), 0);
}

// A Set from another thread that a wait has seen is cleared by the Reset that
// follows, however the two threads interleave: the stop request reaches the
// worker this way, and a stop event left set would end its last exchange.
TEST(PlatformEvent, ResetAfterAWaitSawAnotherThreadsSetClearsIt) {
    Event event, ack;
    ASSERT_TRUE(event.Create().Ok());
    ASSERT_TRUE(ack.Create().Ok());
    constexpr int kRounds = 20000;
    std::thread setter([&] {
        const Waitable acked = ack.Handle();
        for (int i = 0; i < kRounds; ++i) {
            event.Set();
            if (WaitIndex(&acked, 1, 10000) != 0) return;
            ack.Reset();
        }
    });
    const Waitable self = event.Handle();
    int stuck = 0;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(WaitIndex(&self, 1, 10000), 0) << "round " << i;
        event.Reset();
        if (event.IsSignalled()) ++stuck;
        ack.Set();
    }
    setter.join();
    EXPECT_EQ(stuck, 0);
}

TEST(PlatformSocket, ConnectionReadinessShowsOnItsEvent) {
    Event acceptReady, dataReady;
    ASSERT_TRUE(acceptReady.Create().Ok());
    ASSERT_TRUE(dataReady.Create().Ok());
    platform::TcpListener listener;
    uint16_t port = FreePort();
    ASSERT_FALSE(listener.Create().Failed());
    ASSERT_FALSE(listener.Listen(port, acceptReady).Failed());

    Peer peer;
    ASSERT_TRUE(peer.Connect(port));
    Waitable accept = acceptReady.Handle();
    ASSERT_EQ(WaitIndex(&accept, 1, 5000), 0);
    platform::TcpConnection connection;
    ASSERT_FALSE(listener.Accept(connection).Failed());
    EXPECT_STREQ(connection.PeerAddress(), "127.0.0.1");
    ASSERT_FALSE(connection.SelectReadOrClose(dataReady).Failed());
    ASSERT_FALSE(connection.SetNoDelay().Failed());

    Waitable data = dataReady.Handle();
    char buffer[16];
    size_t received = 99;
    EXPECT_TRUE(platform::IsWouldBlock(connection.Receive(buffer, sizeof buffer, received)));
    EXPECT_EQ(received, 0u);

    ASSERT_TRUE(peer.SendAll("hello", 5));
    ASSERT_EQ(WaitIndex(&data, 1, 5000), 0);
    dataReady.Reset();
    ASSERT_TRUE(connection.Receive(buffer, sizeof buffer, received).Ok());
    EXPECT_EQ(received, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    peer.Close();
    ASSERT_EQ(WaitIndex(&data, 1, 5000), 0) << "the end of the stream signals too";
    ASSERT_TRUE(connection.Receive(buffer, sizeof buffer, received).Ok());
    EXPECT_EQ(received, 0u);
}

}  // namespace
}  // namespace kivro::test
