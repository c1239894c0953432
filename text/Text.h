// Fixed-capacity texts: character arrays in the ANSI code page that end at the
// first NUL or at the end of the array (a full array has no terminator). Every
// operation here cuts silently what does not fit, as the whole program expects;
// std::string is kept off these paths so no text operation allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivro {

// A path or a port name: 260 characters (MAX_PATH) and the terminator. Every
// layer sizes its path buffers by it, so a name that fits one fits them all.
constexpr int kPathCapacity = 261;

// Length of a text: up to the first NUL, at most capacity.
size_t TextLength(const char* text, size_t capacity);

// Copies src (ending at NUL or srcCapacity) into dest, cut to destCapacity;
// NUL-terminates when there is room. src may overlap dest only when equal.
void TextCopy(char* dest, size_t destCapacity, const char* src, size_t srcCapacity = SIZE_MAX);

// Appends src after the text in dest, cut to destCapacity.
void TextAppend(char* dest, size_t destCapacity, const char* src, size_t srcCapacity = SIZE_MAX);

template <size_t N>
inline void TextCopy(char (&dest)[N], const char* src) { TextCopy(dest, N, src); }
template <size_t N>
inline void TextAppend(char (&dest)[N], const char* src) { TextAppend(dest, N, src); }
template <size_t N>
inline size_t TextLength(const char (&text)[N]) { return TextLength(text, N); }

// Numbers read from text: leading blanks, one optional sign, then decimal digits
// up to the end of the text and nothing else; overflow of 32 bits fails.
bool ParseInt32(const char* text, size_t capacity, int32_t& value);
inline bool ParseInt32(const char* text, int32_t& value) { return ParseInt32(text, SIZE_MAX, value); }

// Decimal text without leading zeros, "-" before a negative value; cut to the
// capacity. Returns the length written (without terminator).
size_t FormatDecimal(int64_t value, char* dest, size_t capacity);
size_t FormatUnsigned(uint64_t value, char* dest, size_t capacity);

// The 256-entry upper-case table of the system's ANSI code page. Filled once at
// start-up by platform::InitUpperTable (CharUpperBuffA on Windows, the fixed
// Windows-1252 mapping elsewhere): text is the lowest layer and asks the system
// nothing itself. Until then it holds ASCII upper-casing. Every
// case-insensitive comparison goes through it.
extern unsigned char UpperTable[256];
inline char UpperChar(char c) { return static_cast<char>(UpperTable[static_cast<unsigned char>(c)]); }

// Case-insensitive equality of two texts through the upper-case table.
bool EqualNoCase(const char* a, size_t aCapacity, const char* b, size_t bCapacity);
inline bool EqualNoCase(const char* a, const char* b) { return EqualNoCase(a, SIZE_MAX, b, SIZE_MAX); }

// Upper-cases a text in place through the table.
void UpperText(char* text, size_t capacity);

}  // namespace kivro
