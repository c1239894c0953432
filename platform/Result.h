// What every platform call that can fail answers: success, or the system's own
// error code (a Win32 or Winsock code on Windows, errno on Linux), the number a
// message shows so the user can look it up. The code is returned, not left as
// the thread's last error, because any call in between (a log line, a close on
// the way out) can overwrite a last error before the caller reads it; and it is
// [[nodiscard]], so a failure cannot be dropped without saying so. A call that
// has a value to give as well fills an out-parameter, so every call site reads
// the same way. Failures the caller must tell apart (a socket that would block,
// a connection reset) are compared by code against ErrorCodes (System.h).
#pragma once

#include <cstdint>

namespace kivro::platform {

class [[nodiscard]] Result {
  public:
    constexpr Result() = default;  // success
    // 0 is success; anything else is the system's code for the failure.
    constexpr explicit Result(uint32_t code) : code_(code) {}

    constexpr bool Ok() const { return code_ == 0; }
    constexpr bool Failed() const { return code_ != 0; }
    constexpr uint32_t Code() const { return code_; }
    friend constexpr bool operator==(Result, Result) = default;

  private:
    uint32_t code_ = 0;
};

}  // namespace kivro::platform
