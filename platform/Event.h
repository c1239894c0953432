// Manual-reset events and the one wait that multiplexes them. The worker blocks
// in WaitAny on an ordered list and handles the lowest signalled position first,
// as WaitForMultipleObjects does. The core holds only opaque Waitable values:
// a HANDLE on Windows; on Linux a pointer to a WaitSource (an eventfd plus an
// optional bound fd, see platform/posix/WaitSource.h), because readiness of a
// socket or serial port there is a poll condition, not a kernel event.
// Events are always unnamed: each engine's are private to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Result.h"
#include "platform/Unique.h"

namespace kivro::platform {

// Something WaitAny can wait on. A plain value; it owns nothing.
class Waitable {
  public:
    constexpr Waitable() = default;
    constexpr explicit Waitable(void* raw) : raw_(raw) {}
    // For the platform layer only: the HANDLE (Windows) or WaitSource* (Linux).
    void* Raw() const { return raw_; }
    explicit operator bool() const { return raw_ != nullptr; }
    friend bool operator==(Waitable a, Waitable b) { return a.raw_ == b.raw_; }

  private:
    void* raw_ = nullptr;
};

// Releases one event: CloseHandle, or the eventfd closed and its WaitSource freed.
void CloseEvent(void* raw);

// Owner of one manual-reset event, created non-signalled. Move-only.
class Event {
  public:
    // A new event in place of any the owner held.
    Result Create();
    void Close() { raw_.reset(); }
    bool IsOpen() const { return raw_.valid(); }

    // Safe from any thread while the event is open. Neither can fail on an open
    // event (the systems fail them only for a handle that is not one), and on a
    // closed one they do nothing, so they answer nothing.
    void Set() const;
    // Clears the event's own signal. On Linux a bound fd that is still ready keeps
    // the event signalled (level-triggered readiness is not lost by a reset).
    void Reset() const;
    // True when a wait on the event alone would return at once.
    bool IsSignalled() const;

    Waitable Handle() const { return Waitable(raw_.get()); }

  private:
    Unique<void*, nullptr, CloseEvent> raw_;
};

constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;
constexpr int kWaitTimeout = -1;
constexpr size_t kMaxWaitables = 16;

// Waits until one of count (1..kMaxWaitables) waitables is signalled or timeoutMs
// passes. signalled receives the lowest signalled position, or kWaitTimeout when
// the time ran out; a time-out is an outcome, not a failure. On failure signalled
// is kWaitTimeout too, so a caller that treats both alike needs no branch of its
// own. Resets nothing.
Result WaitAny(const Waitable* list, size_t count, uint32_t timeoutMs, int& signalled);

}  // namespace kivro::platform
