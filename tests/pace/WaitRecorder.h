// The time-outs of the engine worker's waits, as it hands them to poll(): the
// main loop's decision how long to wait, seen without measuring any time. A
// poll() defined in this test executable records the time-out of every call
// made on the thread marked as the worker, then passes the call on to libc's.
// The same poll() can hold the worker in a main-loop wait, so a test acts while
// the engine is between two exchanges instead of guessing when that is.
#pragma once
#ifndef _WIN32

#include <vector>

namespace kivro::test {

// Marks the calling thread as the worker whose waits are recorded (call it from
// a sink hook on EV_PROXY_RUNNING 1); ignore: the time-out the link transfers
// use (over a second), so only the main loop's waits are kept.
void RecordWaitsOfThisThread(int ignore);
void ClearWaits();
std::vector<int> Waits();
// Waits until the recorded time-outs satisfy done (checked on every new one);
// false after timeoutMs.
bool WaitForWaits(bool (*done)(const std::vector<int>&), int timeoutMs);

// Marks the calling thread as the worker whose waits may be held, without
// recording anything (call it from a sink hook on EV_PROXY_RUNNING 1).
void MarkWorkerThread();
// The worker's next wait whose time-out is at most maxTimeoutMs (a main-loop
// wait: the link transfers' time-out is longer) lasts until one of its
// waitables signals, or until ReleaseWait ends it as its time-out would.
void HoldNextWait(int maxTimeoutMs);
// True once the worker is inside the held wait; false after timeoutMs.
bool WaitUntilHeld(int timeoutMs);
void ReleaseWait();

}  // namespace kivro::test

#endif
