// The time-outs of the engine worker's waits, as it hands them to poll(): the
// main loop's decision how long to wait, seen without measuring any time. A
// poll() defined in this test executable records the time-out of every call
// made on the thread marked as the worker, then passes the call on to libc's.
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

}  // namespace kivro::test

#endif
