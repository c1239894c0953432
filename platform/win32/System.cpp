// Win32 basic services: GetLastError, FormatMessageA, GetTickCount, GetLocalTime
// and the code page's own upper-casing through CharUpperBuffA.
#include "platform/System.h"

#include <windows.h>
#include <winsock2.h>

namespace kivro::platform {

const uint32_t ErrorCodes::Timeout = ERROR_TIMEOUT;
const uint32_t ErrorCodes::InvalidArgument = WSAEINVAL;
const uint32_t ErrorCodes::InvalidName = ERROR_INVALID_NAME;
const uint32_t ErrorCodes::WouldBlock = WSAEWOULDBLOCK;
const uint32_t ErrorCodes::ConnReset = WSAECONNRESET;
const uint32_t ErrorCodes::ConnAborted = WSAECONNABORTED;
const uint32_t ErrorCodes::NameTooLong = ERROR_FILENAME_EXCED_RANGE;

void BuildUpperTable(unsigned char table[256]) {
    for (int c = 0; c < 256; ++c) {
        char ch = static_cast<char>(c);
        CharUpperBuffA(&ch, 1);
        table[c] = static_cast<unsigned char>(ch);
    }
}

bool SystemErrorText(uint32_t code, char* buffer, size_t capacity) {
    if (capacity == 0) return false;
    buffer[0] = '\0';
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                             static_cast<DWORD>(capacity), nullptr);
    if (n == 0) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

uint32_t TickCount() {
    return GetTickCount();
}
void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

CalendarTime LocalNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace kivro::platform
