// The build's own date and time as the Version page shows it: "16-Apr-2009 11:12"
// (day, English month abbreviation, year, hour and minute), taken from the
// compiler's __DATE__ and __TIME__ of this module's compilation.
#pragma once

namespace kivro {

const char* BuildDate();

// The same form from the compiler's texts ("Apr 16 2009", "11:12:45"); exposed
// for tests.
void FormatBuildDate(const char* compilerDate, const char* compilerTime, char (&out)[32]);

}  // namespace kivro
