// Fixed-capacity text helpers and the upper-case table (see Text.h).
#include "text/Text.h"

#include <cstring>

namespace kivro {

unsigned char UpperTable[256];

namespace {
// Filled before main so that a program that never built the system's table gets
// ASCII upper-casing rather than a table of zeros.
struct UpperTableDefault {
    UpperTableDefault() {
        for (int c = 0; c < 256; ++c)
            UpperTable[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
} upperTableDefault;
}  // namespace

size_t TextLength(const char* text, size_t capacity) {
    size_t n = 0;
    while (n < capacity && text[n] != '\0') ++n;
    return n;
}

void TextCopy(char* dest, size_t destCapacity, const char* src, size_t srcCapacity) {
    if (destCapacity == 0) return;
    size_t n = TextLength(src, srcCapacity);
    if (n > destCapacity) n = destCapacity;
    if (dest != src) std::memmove(dest, src, n);
    if (n < destCapacity) dest[n] = '\0';
}

void TextAppend(char* dest, size_t destCapacity, const char* src, size_t srcCapacity) {
    size_t len = TextLength(dest, destCapacity);
    TextCopy(dest + len, destCapacity - len, src, srcCapacity);
}

bool ParseInt32(const char* text, size_t capacity, int32_t& value) {
    size_t i = 0;
    while (i < capacity && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < capacity && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    size_t digits = 0;
    int64_t v = 0;
    while (i < capacity && text[i] >= '0' && text[i] <= '9') {
        v = v * 10 + (text[i] - '0');
        if (v > 2147483648LL) return false;
        ++i;
        ++digits;
    }
    if (digits == 0) return false;
    if (i < capacity && text[i] != '\0') return false;
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    value = static_cast<int32_t>(v);
    return true;
}

size_t FormatUnsigned(uint64_t value, char* dest, size_t capacity) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t written = 0;
    while (n > 0 && written < capacity) dest[written++] = digits[--n];
    if (written < capacity) dest[written] = '\0';
    return written;
}

size_t FormatDecimal(int64_t value, char* dest, size_t capacity) {
    if (value >= 0) return FormatUnsigned(static_cast<uint64_t>(value), dest, capacity);
    if (capacity == 0) return 0;
    dest[0] = '-';
    uint64_t magnitude = 0 - static_cast<uint64_t>(value);
    return 1 + FormatUnsigned(magnitude, dest + 1, capacity - 1);
}

bool EqualNoCase(const char* a, size_t aCapacity, const char* b, size_t bCapacity) {
    size_t la = TextLength(a, aCapacity), lb = TextLength(b, bCapacity);
    if (la != lb) return false;
    for (size_t i = 0; i < la; ++i)
        if (UpperChar(a[i]) != UpperChar(b[i])) return false;
    return true;
}

void UpperText(char* text, size_t capacity) {
    size_t n = TextLength(text, capacity);
    for (size_t i = 0; i < n; ++i) text[i] = UpperChar(text[i]);
}

}  // namespace kivro
