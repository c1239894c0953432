// The string table lives in the binary as a sorted array generated at build time;
// the Windows resources carry the same texts for the system dialogs that load
// them by number themselves.
#include "text/Messages.h"

#include "text/Text.h"

namespace kivro {
namespace {
struct MessageEntry {
    uint32_t id;
    const char* text;
};
constexpr MessageEntry kMessages[] = {
#include "Messages.inc"
};
}  // namespace

bool LoadMessage(uint32_t id, char* buffer, size_t capacity) {
    if (capacity == 0) return false;
    for (const MessageEntry& entry : kMessages) {
        if (entry.id == id) {
            TextCopy(buffer, capacity, entry.text);
            // One character is kept for the terminator, as LoadStringA does.
            if (TextLength(buffer, capacity) == capacity) buffer[capacity - 1] = '\0';
            return buffer[0] != '\0';
        }
    }
    buffer[0] = '\0';
    return false;
}

}  // namespace kivro
