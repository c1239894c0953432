// The system-independent part of the file contract: building a path from a
// directory and a name, with the same separator rule on both systems.
#include "platform/Files.h"

#include "text/Text.h"

namespace kivro::platform {

bool JoinPath(char* dest, size_t capacity, const char* dir, const char* name, size_t dirCapacity,
              size_t nameCapacity) {
    if (capacity == 0) return false;
    // One place is kept for the terminator: the result goes to the system.
    const size_t limit = capacity - 1;
    size_t n = TextLength(dir, dirCapacity);
    bool whole = n <= limit;
    if (n > limit) n = limit;
    for (size_t i = 0; i < n; ++i) dest[i] = dir[i];
    const size_t nameLength = TextLength(name, nameCapacity);
    if (n > 0 && !EndsDirectoryPrefix(dir[n - 1])) {
        if (n < limit) {
            dest[n++] = kPathSeparator;
        } else if (nameLength > 0) {
            whole = false;
        }
    }
    for (size_t i = 0; i < nameLength; ++i) {
        if (n == limit) {
            whole = false;
            break;
        }
        dest[n++] = name[i];
    }
    dest[n] = '\0';
    return whole;
}

}  // namespace kivro::platform
