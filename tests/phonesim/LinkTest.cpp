// phone-sim's link behaviour seen from the PC: the hello, one reply per frame,
// the misbehaviour switches and the slow-link emulation.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestPc.h"

namespace kivro::phonesim_test {
namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(PhoneSimLink, HelloThenExactlyOneAcceptedReplyPerFrame) {
    TempDir dir;
    PhoneSimProcess sim({"--sync-dir", dir.Path(), "--sync-limit", "65536"});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.Opened());
    size_t skipped = 1;
    ASSERT_TRUE(pc.ReadHello(5000, &skipped));
    EXPECT_EQ(skipped, 0u);

    struct Case {
        const char* what;
        uint8_t type;
        Bytes payload;
        int expectType;  // -1: any accepted type
        Bytes expectPayload;
    } cases[] = {
        {"empty poll", LINK_DATA, {}, LINK_DATA, {}},
        {"sync config", LINK_SYNC_CONFIG, {1, 0, 2, 0, 0}, LINK_SYNC_CONFIG, {1, 0, 1, 0, 0}},
        {"viewer connects", LINK_CLIENT_CONNECTED, {}, LINK_DATA, ToBytes("RFB 003.008\n")},
        {"viewer bytes", LINK_DATA, ToBytes("RFB 003.008\n"), LINK_DATA, {1, 1}},
        {"viewer goes", LINK_CLIENT_DISCONNECTED, {}, -1, {}},
        {"bytes without viewer", LINK_DATA, Bytes(4096, 0x55), -1, {}},
        {"type 3 from the PC", 3, {}, -1, {}},
        {"type 200 from the PC", 200, {1, 2, 3}, -1, {}},
        {"stray file end", LINK_FILE_END, {}, -1, {}},
        {"phone-only type from the PC", LINK_CLOSE_CLIENT, {}, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reply r;
        ASSERT_TRUE(pc.Exchange(c.type, c.payload, r));
        EXPECT_TRUE(IsPhoneLinkType(r.type)) << int(r.type);
        if (c.expectType >= 0) {
            EXPECT_EQ(r.type, c.expectType);
            EXPECT_EQ(r.payload, c.expectPayload);
        }
        EXPECT_TRUE(pc.Quiet(150)) << "a second frame followed the reply";
    }
}

TEST(PhoneSimLink, HelloWaitsForTheServerToStart) {
    PhoneSimProcess sim({"--hello-delay", "600"});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.Quiet(300));
    EXPECT_TRUE(pc.ReadHello(3000));
}

// A PC that closes and reopens the port after using the link (an engine
// restart, recovery after a failed exchange) finds the server announced again
// and no trace of the old session; one that never used it gets the one hello.
TEST(PhoneSimLink, PcReopeningThePortGetsAFreshHello) {
    PhoneSimProcess sim({});
    ASSERT_TRUE(sim.Started());
    {
        TestPc unused(sim.PtyPath());
        ASSERT_TRUE(unused.Opened());
    }
    {
        TestPc first(sim.PtyPath());
        ASSERT_TRUE(first.ReadHello());
        ASSERT_TRUE(first.Quiet(200));
        Reply r;
        ASSERT_TRUE(first.Exchange(LINK_CLIENT_CONNECTED, {}, r));
        ASSERT_GT(r.length, 0);
        // Left unread: the rest of an exchange cut short by the close.
        ASSERT_TRUE(first.Send(LINK_DATA, ToBytes("RFB 003.008\n")));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    TestPc second(sim.PtyPath());
    ASSERT_TRUE(second.ReadHello());
    // The old session would answer this security choice; none is left to.
    Reply r;
    ASSERT_TRUE(second.Exchange(LINK_DATA, {1}, r));
    EXPECT_EQ(r.type, LINK_DATA);
    EXPECT_EQ(r.length, 0);
    EXPECT_TRUE(second.Quiet(200));
}

TEST(PhoneSimLink, BluetoothModeSendsNoHello) {
    PhoneSimProcess sim({"--bt"});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    EXPECT_TRUE(pc.Quiet(400));
    Reply r;
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_DATA);
}

// Each fault replaces exactly the reply it is aimed at; the frames before it
// are answered normally.
TEST(PhoneSimLink, FaultsAtAChosenFrame) {
    struct Case {
        const char* fault;
        Bytes expect;  // the raw bytes of the faulty reply
    } cases[] = {
        {"bad-type@2", {3, 0, 0}},
        {"bad-type=1@2", {1, 0, 0}},
        {"too-long@2", {LINK_DATA, 0x10, 0x01}},
        {"close-client@2", {LINK_CLOSE_CLIENT, 0, 0}},
        {"usb-disconnect@2", {LINK_USB_DISCONNECT, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        PhoneSimProcess sim({"--fault", c.fault, "--restart-delay", "-1"});
        ASSERT_TRUE(sim.Started());
        TestPc pc(sim.PtyPath());
        ASSERT_TRUE(pc.ReadHello());
        Reply first;
        ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, first));
        EXPECT_EQ(first.type, LINK_DATA);
        ASSERT_TRUE(pc.Send(LINK_DATA));
        Bytes got(c.expect.size());
        ASSERT_TRUE(pc.ReadExact(got.data(), got.size()));
        EXPECT_EQ(got, c.expect);
        EXPECT_TRUE(pc.Quiet(200));
    }
}

TEST(PhoneSimLink, StallLeavesAFrameHalfSentThenRestartsTheLink) {
    PhoneSimProcess sim({"--fault", "stall@2", "--stall-seconds", "1"});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.ReadHello());
    Reply r;
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    ASSERT_TRUE(pc.Send(LINK_DATA));
    uint8_t header[3];
    ASSERT_TRUE(pc.ReadExact(header, 3));
    EXPECT_EQ(header[0], LINK_DATA);
    size_t announced = size_t(header[1]) << 8 | header[2];
    ASSERT_GT(announced, 0u);
    Bytes part(announced);
    // Fewer bytes than announced arrive: the read of all of them times out.
    EXPECT_FALSE(pc.ReadExact(part.data(), announced, 400));
    // What the PC sends during the stall is lost; afterwards the server starts
    // again with a hello and answers as before.
    ASSERT_TRUE(pc.Send(LINK_DATA));
    ASSERT_TRUE(pc.ReadHello(5000));
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_DATA);
}

TEST(PhoneSimLink, UsbDisconnectRestartsTheServerWithANewHello) {
    PhoneSimProcess sim({"--control", "--restart-delay", "300"});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.ReadHello());
    LinkViewer viewer(pc);
    ASSERT_TRUE(viewer.Connect());
    ASSERT_TRUE(sim.Command("usb-disconnect"));
    Reply r;
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_USB_DISCONNECT);
    ASSERT_TRUE(pc.ReadHello(3000));
    // The session ended with the server: viewer bytes now find no session.
    ASSERT_TRUE(pc.Exchange(LINK_DATA, ToBytes("RFB 003.008\n"), r));
    EXPECT_EQ(r.type, LINK_DATA);
    EXPECT_EQ(r.length, 0);
}

TEST(PhoneSimLink, FaultsArmedByCommandAndBySignal) {
    PhoneSimProcess sim({"--control", "--fault", "too-long@signal"});
    ASSERT_TRUE(sim.Started());
    TestPc pc(sim.PtyPath());
    ASSERT_TRUE(pc.ReadHello());
    Reply r;
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_DATA);

    ASSERT_TRUE(sim.Command("close-client"));
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_CLOSE_CLIENT);
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_DATA);

    ASSERT_TRUE(sim.ArmBySignal());
    ASSERT_TRUE(pc.Send(LINK_DATA));
    uint8_t header[3];
    ASSERT_TRUE(pc.ReadExact(header, 3));
    EXPECT_EQ(Bytes(header, header + 3), (Bytes{LINK_DATA, 0x10, 0x01}));
    ASSERT_TRUE(pc.Exchange(LINK_DATA, {}, r));
    EXPECT_EQ(r.type, LINK_DATA);
}

// Lower bounds only: the emulation must slow the link down; how fast the
// machine is otherwise does not matter here.
TEST(PhoneSimLink, SlowLinkEmulation) {
    struct Case {
        std::vector<std::string> args;
        long atLeastMs;
    } cases[] = {
        {{"--bps", "8192"}, 400},  // 4099 bytes in, 3 out
        {{"--latency", "300"}, 290},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        PhoneSimProcess sim(c.args);
        ASSERT_TRUE(sim.Started());
        TestPc pc(sim.PtyPath());
        ASSERT_TRUE(pc.ReadHello());
        auto start = Clock::now();
        Reply r;
        ASSERT_TRUE(pc.Exchange(LINK_DATA, Bytes(4096, 1), r));
        EXPECT_GE(MsSince(start), c.atLeastMs);
    }
}

}  // namespace
}  // namespace kivro::phonesim_test
