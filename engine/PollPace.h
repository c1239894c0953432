// How long the main loop's wait may block before it polls the phone again. The
// phone speaks only when asked, so an answer it prepares a few milliseconds
// after a viewer's request would otherwise wait for the next one-second poll.
// After activity (viewer bytes sent, a reply that carried data) the phone is
// polled every 5 ms for a quarter of a second, then the wait doubles until it is
// back at the one-second idle poll, so an idle link costs what it always did.
// The pace only shortens the wait; every poll is still one exchange that waits
// for its reply. Times come in from the caller (tick counts that wrap modulo
// 2^32), so the schedule is a plain value that tests drive with their own clock;
// the alternative, a fixed short wait, would keep an idle link busy for nothing.
#pragma once

#include <cstdint>

namespace kivro {

class PollPace {
public:
    static constexpr uint32_t kIdleMs = 1000;
    static constexpr uint32_t kFastMs = 5;
    static constexpr uint32_t kFastPeriodMs = 250;

    // The benchmark's reference build (bench/run) compiles the plain one-second
    // loop with KIVRO_BENCH_FIXED_POLL; no program is built that way.
#ifdef KIVRO_BENCH_FIXED_POLL
    static constexpr bool kFixed = true;
#else
    static constexpr bool kFixed = false;
#endif

    // Something moved at tick now: poll fast again.
    void Activity(uint32_t now) {
        if constexpr (kFixed) return;
        since_ = now;
        wait_ = kFastMs;
    }

    // The time-out of the next wait, at tick now. Each call after the fast period
    // is one step of the back-off.
    uint32_t NextWait(uint32_t now) {
        if (wait_ >= kIdleMs) return kIdleMs;
        if (now - since_ < kFastPeriodMs) return kFastMs;
        wait_ *= 2;
        if (wait_ > kIdleMs) wait_ = kIdleMs;
        return wait_;
    }

private:
    uint32_t since_ = 0;
    uint32_t wait_ = kIdleMs;  // idle until the first activity
};

}  // namespace kivro
