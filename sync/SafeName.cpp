// The file-name check for names received from the phone (see SafeName.h).
// Device names are compared in ASCII: they are ASCII, and the check must not
// depend on the code page's upper-case table.
#include "sync/SafeName.h"

#include <cstring>
#include <initializer_list>

namespace kivro {
namespace {

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The part before the first dot, blanks at its end left off (Win32 drops them:
// "CON .txt" is the console too), names a device.
bool IsDeviceName(const char* name, size_t length) {
    size_t base = 0;
    while (base < length && name[base] != '.') ++base;
    while (base > 0 && name[base - 1] == ' ') --base;
    char upper[5] = {};
    if (base < 3 || base > 4) return false;
    for (size_t i = 0; i < base; ++i) upper[i] = AsciiUpper(name[i]);
    if (base == 3) {
        for (const char* device : {"CON", "PRN", "AUX", "NUL"})
            if (std::memcmp(upper, device, 3) == 0) return true;
        return false;
    }
    if (std::memcmp(upper, "COM", 3) != 0 && std::memcmp(upper, "LPT", 3) != 0) return false;
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    // 0xB9, 0xB2, 0xB3: the superscript one, two and three of Windows-1252.
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

bool IsSafeFileName(const char* name, size_t length, FileNameRules rules) {
    if (length == 0) return false;
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
        return false;
    const bool windows = rules == FileNameRules::Windows;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
        if (windows && std::strchr("<>\"|?*", c) != nullptr) return false;
    }
    if (!windows) return true;
    const char last = name[length - 1];
    if (last == '.' || last == ' ') return false;
    return !IsDeviceName(name, length);
}

}  // namespace kivro
