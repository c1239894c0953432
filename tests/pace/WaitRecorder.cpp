// See WaitRecorder.h. Negative time-outs (a transfer finishing) and the link
// transfers' waits are left out; what remains is one entry per pass. A transfer
// waits for what is left of its one time-out, so any wait longer than the main
// loop's longest (the idle second) and up to the link time-out is a transfer's.
#ifndef _WIN32

#include "pace/WaitRecorder.h"

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kivro::test {
namespace {

std::atomic<bool> gArmed{false};
pthread_t gWorker;
int gIgnore = -1;
std::mutex gMutex;
std::condition_variable gChanged;
std::vector<int> gWaits;

// The hold: armed by HoldNextWait, taken by the first wait that fits.
pthread_t gHoldThread;
std::atomic<bool> gHoldThreadSet{false};
int gHoldMax = -1;  // under gMutex; -1: not armed
bool gHeld = false;
bool gReleased = false;

// True when this call is the one to hold (and disarms the hold).
bool TakeHold(int timeout) {
    if (!gHoldThreadSet || !pthread_equal(pthread_self(), gHoldThread)) return false;
    std::lock_guard<std::mutex> lock(gMutex);
    if (gHoldMax < 0 || timeout < 0 || timeout > gHoldMax) return false;
    gHoldMax = -1;
    gHeld = true;
    gReleased = false;
    gChanged.notify_all();
    return true;
}

bool Released() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gReleased;
}

void EndHold() {
    std::lock_guard<std::mutex> lock(gMutex);
    gHeld = false;
    gChanged.notify_all();
}

void Record(int timeout) {
    if (!gArmed || !pthread_equal(pthread_self(), gWorker)) return;
    if (timeout < 0 || (timeout > 1000 && timeout <= gIgnore)) return;
    std::lock_guard<std::mutex> lock(gMutex);
    gWaits.push_back(timeout);
    gChanged.notify_all();
}

}  // namespace

void RecordWaitsOfThisThread(int ignore) {
    std::lock_guard<std::mutex> lock(gMutex);
    gWorker = pthread_self();
    gIgnore = ignore;
    gWaits.clear();
    gArmed = true;
}

void ClearWaits() {
    std::lock_guard<std::mutex> lock(gMutex);
    gWaits.clear();
}

std::vector<int> Waits() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gWaits;
}

bool WaitForWaits(bool (*done)(const std::vector<int>&), int timeoutMs) {
    std::unique_lock<std::mutex> lock(gMutex);
    return gChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return done(gWaits); });
}

void MarkWorkerThread() {
    gHoldThread = pthread_self();
    gHoldThreadSet = true;
}

void HoldNextWait(int maxTimeoutMs) {
    std::lock_guard<std::mutex> lock(gMutex);
    gHoldMax = maxTimeoutMs;
}

bool WaitUntilHeld(int timeoutMs) {
    std::unique_lock<std::mutex> lock(gMutex);
    return gChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return gHeld; });
}

void ReleaseWait() {
    std::lock_guard<std::mutex> lock(gMutex);
    gReleased = true;
}

}  // namespace kivro::test

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout) {
    using Poll = int (*)(struct pollfd*, nfds_t, int);
    static const Poll real = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
    kivro::test::Record(timeout);
    if (!kivro::test::TakeHold(timeout)) return real(fds, count, timeout);
    // Held: short slices, so a release is seen without a waitable of its own.
    int n = 0;
    while ((n = real(fds, count, 20)) == 0 && !kivro::test::Released()) {
    }
    kivro::test::EndHold();
    return n;
}

#endif
