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

}  // namespace kivro::test

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout) {
    using Poll = int (*)(struct pollfd*, nfds_t, int);
    static const Poll real = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
    kivro::test::Record(timeout);
    return real(fds, count, timeout);
}

#endif
