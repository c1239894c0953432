// For tests: WaitAny's answer as one number, so that an expectation states the
// outcome it wants in one comparison: the signalled position, kWaitTimeout, or
// kWaitFailed when the wait itself failed, which no expected position or
// time-out matches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Event.h"

namespace kivro::test {

constexpr int kWaitFailed = -2;

inline int WaitIndex(const platform::Waitable* list, size_t count, uint32_t timeoutMs) {
    int signalled = platform::kWaitTimeout;
    return platform::WaitAny(list, count, timeoutMs, signalled).Ok() ? signalled : kWaitFailed;
}

}  // namespace kivro::test
