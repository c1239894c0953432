// FormatText: the program's own placeholder syntax ("%s" text, "%c" unsigned,
// "%i" signed, "%h" hex, "%l"/"%u"/"%x" 64-bit, "-" left-align, "'x" fill,
// width digits or "*") and backslash escapes, expanded in place in a
// fixed-capacity destination. Arguments are a typed list rather than C varargs,
// so a placeholder without an argument reads 0 or an empty text instead of
// whatever lies on the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace kivro {

// One argument. Numbers keep 64 bits; 32-bit placeholders use the low 32 bits.
struct FormatArg {
    uint64_t number = 0;
    const char* text = nullptr;

    FormatArg(uint32_t v) : number(v) {}
    FormatArg(int32_t v) : number(static_cast<uint64_t>(static_cast<int64_t>(v))) {}
    FormatArg(uint64_t v) : number(v) {}
    FormatArg(int64_t v) : number(static_cast<uint64_t>(v)) {}
    FormatArg(const char* v) : text(v) {}
};

// Expands format (ending at NUL or formatCapacity) into dest (destCapacity
// characters). format may be the very array dest. True when the whole text was
// expanded; on failure dest holds what was expanded up to the failing point and
// the rest of the format unchanged, never more than destCapacity characters.
bool FormatText(const char* format, size_t formatCapacity, char* dest, size_t destCapacity,
                std::initializer_list<FormatArg> args = {});

// In-place form: the array holds the format and receives the result.
template <size_t N>
inline bool FormatText(char (&text)[N], std::initializer_list<FormatArg> args = {}) {
    return FormatText(text, N, text, N, args);
}

}  // namespace kivro
