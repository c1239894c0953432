// The main loop's pace against a scripted phone: after the viewer's request the
// phone answers with empty frames and has its answer ready only at the 20th poll
// after it, as a server that needs a moment would. The loop must keep polling
// until the answer comes; a loop that polled once a second would need twenty
// seconds, far beyond the test's wait. Counting polls, not measuring them, keeps
// the test free of timing thresholds; the schedule itself is tested on a clock
// of the test's own (tests/engine/PollPaceTest.cpp) and as the loop's own waits
// in WaitTest.cpp.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "engine/EngineTestSupport.h"
#include "engine/Proxy.h"
#include "link/Phone.h"
#include "link/Pty.h"

namespace kivro::test {
namespace {

TEST(MainLoopPace, AnswerReadyLaterIsFetchedByTheFollowingPolls) {
    constexpr int kPollsUntilReady = 20;
    const std::vector<uint8_t> request(10, 0x42);
    const std::vector<uint8_t> answer(1000, 0x24);

    PtyPair usb;
    ASSERT_TRUE(usb.Open());
    ScriptedPhone phone{usb};
    std::atomic<int> pollsSinceRequest{-1};  // -1: no request yet; the phone's thread counts
    phone.SetAnswer([&](const LinkFrameRecord& f) {
        if (f.type == LINK_DATA && f.payload == request) {
            pollsSinceRequest = 0;
        } else if (pollsSinceRequest >= 0 && f.type == LINK_DATA && f.payload.empty()) {
            if (++pollsSinceRequest == kPollsUntilReady) return FrameBytes(LINK_DATA, answer);
        }
        return FrameBytes(LINK_DATA);
    });
    phone.Start();

    RecordingSink sink;
    Settings settings = TestSettings(FreePort());
    std::strcpy(settings.USBComPort, usb.SlavePath());
    Proxy proxy(2000);
    ASSERT_TRUE(proxy.Start(&sink, settings)) << Describe(sink.Events());
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0) << Describe(sink.Events());
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1), 0) << Describe(sink.Events());
    Peer viewer;
    ASSERT_TRUE(viewer.Connect(static_cast<uint16_t>(settings.TCPPort)));
    ASSERT_GE(phone.WaitForType(LINK_CLIENT_CONNECTED), 0);

    size_t from = phone.Count();
    ASSERT_TRUE(viewer.SendAll(request.data(), request.size()));
    std::vector<uint8_t> received(answer.size());
    size_t got = 0;
    while (got < received.size()) {
        int n = viewer.Receive(received.data() + got, received.size() - got, 5000);
        ASSERT_GT(n, 0) << "the answer did not come; polls since the request: "
                        << pollsSinceRequest;
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(received, answer);

    // Every poll in between was an empty LINK_DATA, one per reply: the loop only
    // waited less, it did not send more.
    std::vector<LinkFrameRecord> frames = phone.Frames();
    int at = phone.WaitFor([&](const LinkFrameRecord& f) { return f.payload == request; }, 0, from);
    ASSERT_GE(at, 0);
    int polls = 0;
    for (size_t i = static_cast<size_t>(at) + 1; i < frames.size() && polls < kPollsUntilReady; ++i, ++polls) {
        EXPECT_EQ(frames[i].type, LINK_DATA);
        EXPECT_TRUE(frames[i].payload.empty());
    }
    EXPECT_EQ(polls, kPollsUntilReady);
    proxy.Shutdown();
}

}  // namespace
}  // namespace kivro::test

#endif
