// Linux basic services: errno, strerror, CLOCK_MONOTONIC and the fixed
// Windows-1252 upper-case mapping (the code page the Windows program runs in, so
// both front ends compare names alike).
#include "platform/System.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace kivro::platform {

const uint32_t ErrorCodes::Timeout = ETIMEDOUT;
const uint32_t ErrorCodes::InvalidArgument = EINVAL;
const uint32_t ErrorCodes::InvalidName = EINVAL;
const uint32_t ErrorCodes::WouldBlock = EWOULDBLOCK;
const uint32_t ErrorCodes::ConnReset = ECONNRESET;
const uint32_t ErrorCodes::ConnAborted = ECONNABORTED;
const uint32_t ErrorCodes::NameTooLong = ENAMETOOLONG;

void BuildUpperTable(unsigned char table[256]) {
    for (int c = 0; c < 256; ++c) {
        int u = c;
        if (c >= 'a' && c <= 'z')
            u = c - 32;
        else if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
            u = c - 32;
        else if (c == 0x9A)
            u = 0x8A;
        else if (c == 0x9C)
            u = 0x8C;
        else if (c == 0xFF)
            u = 0x9F;
        table[c] = static_cast<unsigned char>(u);
    }
}

bool SystemErrorText(uint32_t code, char* buffer, size_t capacity) {
    if (capacity == 0) return false;
    buffer[0] = '\0';
    char local[256];
    // GNU strerror_r returns a pointer that may or may not be `local`.
    const char* text = strerror_r(static_cast<int>(code), local, sizeof local);
    if (text == nullptr || text[0] == '\0' || std::strncmp(text, "Unknown error", 13) == 0)
        return false;
    size_t n = std::strlen(text);
    if (n >= capacity) n = capacity - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return true;
}

uint32_t TickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

CalendarTime LocalNow() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    localtime_r(&tv.tv_sec, &t);
    return {t.tm_year + 1900,
            t.tm_mon + 1,
            t.tm_mday,
            t.tm_hour,
            t.tm_min,
            t.tm_sec,
            static_cast<int>(tv.tv_usec / 1000)};
}

}  // namespace kivro::platform
