// The main loop allocates nothing per pass: this binary replaces the global
// operator new (under AddressSanitizer: hooks its allocator) to count the
// allocations made on the engine's worker thread while counting is on, and
// runs a few thousand busy passes (viewer bytes out, phone bytes back, every
// pass an exchange) between two readings.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "engine/EngineTestSupport.h"
#include "engine/Proxy.h"
#include "link/Phone.h"
#include "link/Pty.h"
#include "platform/System.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gWorkerAllocations{0};
thread_local bool tIsWorker = false;

void CountAllocation() {
    if (tIsWorker && gCounting.load(std::memory_order_relaxed)) ++gWorkerAllocations;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer owns operator new; its allocation hook sees every allocation
// (malloc included) instead.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onAllocate)(const volatile void*,
                                                                            size_t),
                                                         void (*onFree)(const volatile void*));
namespace {
void OnAllocate(const volatile void*, size_t) {
    CountAllocation();
}
void OnFree(const volatile void*) {}
const int kHooks = __sanitizer_install_malloc_and_free_hooks(OnAllocate, OnFree);
}  // namespace
#else
// These operators pair malloc with free themselves; GCC, seeing new inlined
// into a delete, reports a mismatch that is none.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    CountAllocation();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace kivro::test {
namespace {

// Marks the worker thread from its first event; records nothing, allocates nothing.
class MarkingSink : public EngineEvents {
  public:
    void Post(const EngineEvent& event) override {
        if (event.Code == EV_PROXY_RUNNING && event.Value == 1) tIsWorker = true;
        if (event.Code == EV_USB_SERVER && event.Value == 1) serverUp = true;
        if (event.Code == EV_CLIENT && event.Text[0] != '\0') viewerUp = true;
    }
    std::atomic<bool> serverUp{false};
    std::atomic<bool> viewerUp{false};
};

TEST(MainLoop, AllocatesNothingPerPass) {
    PtyPair usb;
    ASSERT_TRUE(usb.Open());
    ScriptedPhone phone(usb);
    // Every reply carries a byte, so the next pass follows at once.
    phone.SetAnswer([](const LinkFrameRecord&) { return FrameBytes(LINK_DATA, {0x42}); });
    phone.Start();
    MarkingSink sink;
    Settings settings = TestSettings(FreePort());
    std::strcpy(settings.USBComPort, usb.SlavePath());
    Proxy proxy(2000);
    ASSERT_TRUE(proxy.Start(&sink, settings));
    for (int i = 0; i < 200 && !proxy.Running(); ++i) platform::SleepMs(10);
    platform::SleepMs(200);
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    for (int i = 0; i < 300 && !sink.serverUp; ++i) platform::SleepMs(10);
    ASSERT_TRUE(sink.serverUp);

    Peer viewer;
    ASSERT_TRUE(viewer.Connect(static_cast<uint16_t>(settings.TCPPort)));
    for (int i = 0; i < 300 && !sink.viewerUp; ++i) platform::SleepMs(10);
    ASSERT_TRUE(sink.viewerUp);
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char buffer[4096];
        while (!done) viewer.Receive(buffer, sizeof buffer, 50);
    });

    ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, 200), 0);
    size_t start = phone.Count();
    gCounting = true;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(viewer.SendAll("0123456789", 10));
        platform::SleepMs(20);
    }
    // A bound for a loaded machine, not a measure: the count of passes is what matters.
    ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 60000, start + 3000), 0);
    gCounting = false;
    size_t passes = phone.Count() - start;
    done = true;
    drain.join();
    proxy.Shutdown();

    EXPECT_GE(passes, 3000u);
    EXPECT_EQ(gWorkerAllocations.load(), 0) << "over " << passes << " passes";
}

}  // namespace
}  // namespace kivro::test

#endif
