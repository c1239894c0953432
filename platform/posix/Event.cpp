// Linux events: an eventfd per event (non-blocking, close-on-exec) and poll over
// each event's eventfd and its bound fd. The eventfd's counter is the manual
// signal: Set adds one, Reset drains it, a wait never consumes it.
#include "platform/Event.h"

#include <cerrno>
#include <new>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/System.h"
#include "platform/posix/WaitSource.h"

namespace kivro::platform {

using posix::SourceOf;
using posix::WaitSource;

void CloseEvent(void* raw) {
    auto* source = static_cast<WaitSource*>(raw);
    close(source->fd);
    delete source;
}

Result Event::Create() {
    Close();
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return Result(static_cast<uint32_t>(errno));
    auto* source = new (std::nothrow) WaitSource;
    if (source == nullptr) {
        close(fd);
        return Result(ENOMEM);
    }
    source->fd = fd;
    raw_.reset(source);
    return {};
}

void Event::Set() const {
    WaitSource* source = SourceOf(*this);
    if (source == nullptr) return;
    uint64_t one = 1;
    // Fails only with the counter at its maximum: signalled already.
    (void)!write(source->fd, &one, sizeof one);
}

void Event::Reset() const {
    WaitSource* source = SourceOf(*this);
    if (source == nullptr) return;
    source->signalledHere.store(false, std::memory_order_relaxed);
    uint64_t value;
    // Fails only with the counter at 0: not signalled.
    (void)!read(source->fd, &value, sizeof value);
}

bool Event::IsSignalled() const {
    Waitable self = Handle();
    int signalled = kWaitTimeout;
    return WaitAny(&self, 1, 0, signalled).Ok() && signalled == 0;
}

Result WaitAny(const Waitable* list, size_t count, uint32_t timeoutMs, int& signalled) {
    signalled = kWaitTimeout;
    if (count == 0 || count > kMaxWaitables) return Result(EINVAL);
    // Two poll entries per waitable: its own fd and its bound fd (or -1, which poll skips).
    pollfd fds[2 * kMaxWaitables];
    // One signalled here needs no kernel: only the positions before it are
    // asked, by a poll that does not wait (none at all when it is the first).
    size_t here = count;
    for (size_t i = 0; i < count; ++i) {
        const WaitSource* source = SourceOf(list[i]);
        if (source == nullptr) return Result(EINVAL);
        if (source->signalledHere.load(std::memory_order_relaxed)) {
            here = i;
            break;
        }
        fds[2 * i] = {source->fd, POLLIN, 0};
        fds[2 * i + 1] = {source->boundFd, source->boundEvents, 0};
    }
    if (here == 0) {
        signalled = 0;
        return Result();
    }
    const size_t asked = here;
    const uint32_t start = TickCount();
    for (;;) {
        int wait = 0;
        if (here == count && timeoutMs == kWaitInfinite) {
            wait = -1;
        } else if (here == count) {
            uint32_t elapsed = TickCount() - start;
            wait = elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
        }
        int n = poll(fds, 2 * asked, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Result(static_cast<uint32_t>(errno));
        if (here < count) signalled = static_cast<int>(here);
        for (size_t i = 0; n > 0 && i < 2 * asked; ++i) {
            if (fds[i].revents != 0) {
                signalled = static_cast<int>(i / 2);
                break;
            }
        }
        return Result();
    }
}

}  // namespace kivro::platform
