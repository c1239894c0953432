// Placeholder expansion (see FormatText.h). Placeholder for now: copies the format.
#include "text/FormatText.h"

#include "text/Text.h"

namespace kivro {

bool FormatText(const char* format, size_t formatCapacity, char* dest, size_t destCapacity,
                std::initializer_list<FormatArg>) {
    TextCopy(dest, destCapacity, format, formatCapacity);
    return false;
}

}  // namespace kivro
