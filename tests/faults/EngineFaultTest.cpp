// The engine in this process against phone-sim as the phone, for faults that
// need what only the engine object offers: a lowered link time-out, its events
// one by one, and this process's open descriptors counted around its life.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "Rig.h"
#include "engine/Proxy.h"
#include "platform/System.h"
#include "text/Messages.h"

namespace kivro::test {
namespace {

struct EngineOnPhone {
    explicit EngineOnPhone(const std::string& pty, uint32_t linkTimeoutMs)
        : proxy(linkTimeoutMs), port(FreePort()) {
        settings = TestSettings(port);
        std::strncpy(settings.USBComPort, pty.c_str(), sizeof settings.USBComPort - 1);
    }
    RecordingSink sink;
    Proxy proxy;
    uint16_t port;
    Settings settings{};
};

// The phone stops in the middle of a reply: after the lowered time-out the
// read fails with 110, the port is closed and opened again, the phone sees the
// reopening and announces itself, and a viewer is served as before.
TEST(EngineFaults, PhoneStallingMidFrameTimesOutAndTheLinkRecoversOnReopen) {
    PhoneSim phone({"--control", "--fault", "stall@signal"});
    ASSERT_TRUE(phone.Started());
    EngineOnPhone e(phone.Pty(), 300);
    ASSERT_TRUE(e.proxy.Start(&e.sink, e.settings));
    ASSERT_GE(e.sink.WaitForCode(EV_USB_SERVER, 1), 0) << Describe(e.sink.Events());

    // The stall hits the reply to the viewer's first update request (or an
    // idle poll just before it).
    Viewer viewer;
    ASSERT_TRUE(viewer.Connect(e.port));
    int width = 0, height = 0;
    ASSERT_TRUE(viewer.Handshake(5000, width, height));
    ASSERT_TRUE(phone.Arm());
    ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 40));
    int error = e.sink.WaitFor([](const EngineEvent& ev) { return ev.Code == EV_SYSTEM_ERROR; });
    ASSERT_GE(error, 0) << Describe(e.sink.Events());
    EXPECT_EQ(e.sink.Events()[error].Error.MessageId, uint32_t{MSG_ERR_RECV_SERVER});
    EXPECT_EQ(e.sink.Events()[error].Error.Code, uint32_t{110});
    ASSERT_GE(e.sink.WaitForCode(EV_MESSAGE, MSG_LOST_USB_PORT, 3000, error), 0);
    EXPECT_TRUE(viewer.ClosedWithin(3000)) << "the viewer outlived its server";
    ASSERT_GE(e.sink.WaitForCode(EV_USB_PORT_OPENED, 1, 3000, error), 0);
    ASSERT_GE(e.sink.WaitForCode(EV_USB_SERVER, 1, 5000, error), 0) << Describe(e.sink.Events());

    Viewer again;
    ASSERT_TRUE(again.Connect(e.port));
    ASSERT_TRUE(again.Handshake(5000, width, height));
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(again.RequestUpdate(0, 0, 240, 40));
    ASSERT_TRUE(again.ReadUpdate(5000, pixels));
    EXPECT_EQ(pixels.size(), 240u * 40 * 4);
    EXPECT_EQ(pixels[0], 0xFF);  // the white bar's blue byte
    EXPECT_TRUE(e.proxy.Running());
    e.proxy.Shutdown();
}

// A viewer that goes is announced to the phone before the next is taken, even
// when the next is already waiting: otherwise the phone, never told, would go
// on with the old session and the new viewer would get its bytes (or none).
// The second viewer connects from the event hook, on the worker thread, the
// moment the first is closed, so it is there at the very next wait.
TEST(EngineFaults, ViewerWaitingWhenTheOldOneGoesGetsASessionOfItsOwn) {
    PhoneSim phone({"--control", "--fault", "close-client@signal"});
    ASSERT_TRUE(phone.Started());
    EngineOnPhone e(phone.Pty(), 2000);
    Viewer first, second;
    std::atomic<bool> secondConnected{false};
    e.sink.hook = [&](const EngineEvent& event) {
        if (event.Code == EV_CLIENT && event.Value == 0 && !secondConnected)
            secondConnected = second.Connect(e.port);
    };
    ASSERT_TRUE(e.proxy.Start(&e.sink, e.settings));
    ASSERT_GE(e.sink.WaitForCode(EV_USB_SERVER, 1), 0) << Describe(e.sink.Events());
    ASSERT_TRUE(first.Connect(e.port));
    int width = 0, height = 0;
    ASSERT_TRUE(first.Handshake(5000, width, height));

    ASSERT_TRUE(phone.Arm());  // the phone's next reply closes the first viewer
    EXPECT_TRUE(first.ClosedWithin(5000));
    ASSERT_GE(e.sink.WaitForCode(EV_CLIENT, 0), 0);
    for (int i = 0; i < 100 && !secondConnected; ++i) platform::SleepMs(20);  // the hook runs after
    ASSERT_TRUE(secondConnected);
    ASSERT_TRUE(second.Handshake(5000, width, height)) << "no session of its own";
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(second.RequestUpdate(0, 0, 240, 40));
    ASSERT_TRUE(second.ReadUpdate(5000, pixels));
    EXPECT_EQ(pixels.size(), 240u * 40 * 4);
    e.sink.hook = nullptr;
    e.proxy.Shutdown();
}

// A reply that breaks the protocol stops the engine with its message, and
// the stopped engine holds nothing: every descriptor it opened is closed (the
// ASan build's leak check covers its memory).
TEST(EngineFaults, ProtocolBreachStopsTheEngineAndLeavesNoDescriptorOpen) {
    struct Case {
        const char* fault;
        uint32_t message;
    } cases[] = {
        {"too-long@signal", MSG_ERR_TOO_LONG},
        {"bad-type@signal", MSG_ERR_INVALID_TYPE},
        {"bad-type=200@signal", MSG_ERR_INVALID_TYPE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        PhoneSim phone({"--control", "--fault", c.fault});
        ASSERT_TRUE(phone.Started());
        const int before = OpenDescriptorCount();
        {
            EngineOnPhone e(phone.Pty(), 2000);
            ASSERT_TRUE(e.proxy.Start(&e.sink, e.settings));
            ASSERT_GE(e.sink.WaitForCode(EV_USB_SERVER, 1), 0);
            Viewer viewer;  // a viewer connected makes the engine hold a socket more
            ASSERT_TRUE(viewer.Connect(e.port));
            ASSERT_GE(e.sink.WaitForCode(EV_CLIENT, 1), 0);
            ASSERT_TRUE(phone.Arm());
            ASSERT_GE(e.sink.WaitForCode(EV_LINK_ERROR, c.message, 10000), 0)
                << Describe(e.sink.Events());
            ASSERT_GE(e.sink.WaitForCode(EV_PROXY_RUNNING, 0, 5000), 0);
            EXPECT_TRUE(viewer.ClosedWithin(3000));
            viewer.Close();
            // Only the stop event stays, until the engine is started again or destroyed.
            EXPECT_EQ(OpenDescriptorCount(), before + 1) << "the stopped engine still holds some";
        }
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
}

}  // namespace
}  // namespace kivro::test
