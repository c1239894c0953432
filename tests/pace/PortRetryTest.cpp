// Closed ports are retried once a second, not on every pass: with discovery on
// and no Bluetooth port on the system, a busy link would otherwise list the
// system's ports (and allocate) hundreds of times a second. Each listing is seen
// through the open calls defined in this test executable, which count the calls
// made on the worker thread for the fake sysfs the engine is pointed at (the
// standard library opens a directory with openat or open before fdopendir). The
// bound is one retry per 900 ms of the test's own measured time, plus one, so a
// slow machine only makes it looser.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/EngineTestSupport.h"
#include "engine/Proxy.h"
#include "link/Phone.h"
#include "link/Pty.h"
#include "sync/TempFolder.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<int> gListings{0};
pthread_t gWorker;

}  // namespace

namespace {

void Count(const char* path) {
    if (gCounting && pthread_equal(pthread_self(), gWorker) && std::strstr(path, "class/tty"))
        ++gListings;
}

}  // namespace

extern "C" int openat(int dir, const char* path, int flags, ...) {
    using OpenAt = int (*)(int, const char*, int, ...);
    static const OpenAt real = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    Count(path);
    return real(dir, path, flags, mode);
}

extern "C" int open(const char* path, int flags, ...) {
    using Open = int (*)(const char*, int, ...);
    static const Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    Count(path);
    return real(path, flags, mode);
}

namespace kivro::test {
namespace {

TEST(PortRetry, BusyLinkRetriesAMissingPortOnceASecond) {
    kivro::testing::TempFolder sysfs;  // no tty class at all: no Bluetooth port
    setenv("KIVRO_SYSFS_ROOT", sysfs.str().c_str(), 1);
    PtyPair usb;
    ASSERT_TRUE(usb.Open());
    ScriptedPhone phone{usb};
    // Every poll is answered with a full frame of data, so the loop never waits.
    phone.SetAnswer([](const LinkFrameRecord&) {
        return FrameBytes(LINK_DATA, std::vector<uint8_t>(kLinkMaxPayload, 0x77));
    });
    phone.Start();

    RecordingSink sink;
    sink.hook = [](const EngineEvent& e) {
        if (e.Code == EV_PROXY_RUNNING && e.Value == 1) gWorker = pthread_self();
    };
    Settings s = TestSettings(FreePort());
    s.BTComAuto = true;
    std::strcpy(s.USBComPort, usb.SlavePath());
    Proxy proxy(3000);
    ASSERT_TRUE(proxy.Start(&sink, s)) << Describe(sink.Events());
    ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1), 0) << Describe(sink.Events());
    ASSERT_TRUE(usb.Write(kUsbHello, 8));
    ASSERT_GE(phone.WaitForType(LINK_SYNC_CONFIG), 0);

    constexpr size_t kPasses = 400;
    size_t from = phone.Count();
    auto start = std::chrono::steady_clock::now();
    gListings = 0;
    gCounting = true;
    while (phone.Count() < from + kPasses)
        ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 5000, phone.Count()),
                  0);
    gCounting = false;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    int listings = gListings;
    EXPECT_LE(listings, ms / 900 + 1) << listings << " listings over " << kPasses
                                      << " passes in " << ms << " ms";

    // Idle again, the retries go on: one a second.
    phone.SetAnswer([](const LinkFrameRecord&) { return FrameBytes(LINK_DATA); });
    gListings = 0;
    gCounting = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    gCounting = false;
    EXPECT_GE(gListings.load(), 1);
    proxy.Shutdown();
    phone.Stop();
    unsetenv("KIVRO_SYSFS_ROOT");
}

}  // namespace
}  // namespace kivro::test

#endif
