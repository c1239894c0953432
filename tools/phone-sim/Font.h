// A 5 x 7 bitmap font for the built-in screen's clock and status lines: digits,
// upper-case letters and a little punctuation are enough for what the screen
// shows, and a table of row bits keeps phone-sim free of any font library.
#pragma once

#include <cstdint>

namespace kivro::phonesim {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Seven rows of the glyph for c, bit 4 the leftmost column; lower case maps to
// upper case, anything unknown to '?'.
const uint8_t* Glyph(char c);

}  // namespace kivro::phonesim
