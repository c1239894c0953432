// phone-sim's log on standard error: quiet by default, -v for what it does,
// -vv for every frame. A single global level is enough for a one-thread tool.
#pragma once

#include <cstdarg>

namespace kivro::phonesim {

extern int gVerbosity;

// Writes "phone-sim: " and the formatted text when level <= gVerbosity.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kivro::phonesim
