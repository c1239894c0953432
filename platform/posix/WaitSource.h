// Linux only, for the platform layer: what a Waitable points at. An Event is an
// eventfd (signalled while its counter is non-zero) plus an optional bound fd
// that counts as signalled while poll reports the bound events on it. Whoever
// arms readiness binds its fd (a socket's event selection, a pending serial
// read or write) and unbinds it before closing that fd. Anything else that wants
// to be waited on (an inotify fd) can be a WaitSource with only `fd` set.
#pragma once

#include <atomic>

#include "platform/Event.h"

namespace kivro::platform::posix {

struct WaitSource {
    int fd = -1;            // the eventfd (or any fd that is signalled when readable)
    int boundFd = -1;       // -1: none
    short boundEvents = 0;  // POLLIN, POLLOUT, ...
    // Signalled by the thread that waits on it, without the kernel: a transfer
    // that completed as it started. WaitAny on that thread sees it; Reset clears it.
    std::atomic<bool> signalledHere{false};
};

inline WaitSource* SourceOf(Waitable w) {
    return static_cast<WaitSource*>(w.Raw());
}
inline WaitSource* SourceOf(const Event& e) {
    return SourceOf(e.Handle());
}

// Readiness of fd (poll events) now also signals the event; replaces a previous binding.
inline void Bind(const Event& event, int fd, short events) {
    if (WaitSource* s = SourceOf(event)) {
        s->boundFd = fd;
        s->boundEvents = events;
    }
}
inline void Unbind(const Event& event) {
    Bind(event, -1, 0);
}

// Signals the event for waits on the calling thread, the only one that waits on
// it (a transfer's completion event): no eventfd write, and no read to undo it.
inline void SignalHere(const Event& event) {
    if (WaitSource* s = SourceOf(event)) s->signalledHere.store(true, std::memory_order_relaxed);
}

}  // namespace kivro::platform::posix
