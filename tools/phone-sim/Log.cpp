// The stderr log behind Log.h.
#include "Log.h"

#include <cstdio>

namespace kivro::phonesim {

int gVerbosity = 0;

void Log(int level, const char* format, ...) {
    if (level > gVerbosity) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "phone-sim: %s\n", line);
}

}  // namespace kivro::phonesim
