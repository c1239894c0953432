// What the core needs of the operating system's basic services: error codes and
// their texts, the clocks, the upper-case table. Error codes are the system's own
// (Win32 and Winsock codes on Windows, errno on Linux) so that messages show the
// number the user can look up; the core only passes them through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/Text.h"

namespace kivro::platform {

// Fills the 256-entry ANSI upper-case table (CharUpperBuffA per character on
// Windows; the fixed Windows-1252 mapping elsewhere).
void BuildUpperTable(unsigned char table[256]);

// Fills the text layer's UpperTable from the system; once at start-up, before
// any case-insensitive comparison.
inline void InitUpperTable() {
    BuildUpperTable(UpperTable);
}

// The system's text for an error code, as the system gives it (FormatMessageA,
// trailing line break included; strerror on Linux). False when the system has
// no text for the code; the buffer then holds an empty text.
bool SystemErrorText(uint32_t code, char* buffer, size_t capacity);

// Error codes the core names, in the platform's own numbering.
struct ErrorCodes {
    static const uint32_t Timeout;          // 1460 ERROR_TIMEOUT / ETIMEDOUT
    static const uint32_t InvalidArgument;  // 10022 WSAEINVAL / EINVAL
    static const uint32_t InvalidName;      // 123 ERROR_INVALID_NAME / EINVAL
    static const uint32_t WouldBlock;       // 10035 WSAEWOULDBLOCK / EWOULDBLOCK
    static const uint32_t ConnReset;        // 10054 WSAECONNRESET / ECONNRESET
    static const uint32_t ConnAborted;      // 10053 WSAECONNABORTED / ECONNABORTED
    static const uint32_t NameTooLong;      // 206 ERROR_FILENAME_EXCED_RANGE / ENAMETOOLONG
};

// Milliseconds since an arbitrary start; wraps modulo 2^32 as GetTickCount does.
uint32_t TickCount();
void SleepMs(uint32_t milliseconds);

// A local calendar time, fields as SYSTEMTIME has them (month 1-12).
struct CalendarTime {
    int year, month, day, hour, minute, second, milliseconds;
};
CalendarTime LocalNow();

}  // namespace kivro::platform
