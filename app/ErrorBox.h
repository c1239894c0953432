// The text of an error box: a message by number formatted with one text
// argument. Only the text is built here; the front end shows it (MessageBoxA on
// Windows, standard error on Linux), so the rule is shared and testable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivro {

// The message is loaded and formatted in this many characters; the text array
// has one more so that a full text still ends with a NUL for the system.
constexpr size_t kErrorTextCapacity = 512;
using ErrorText = char[kErrorTextCapacity + 1];

// Message id formatted with argument ("%s"); a number without text gives
// "Unknown Error, arg=%s" formatted the same way.
void ErrorBoxText(uint32_t id, const char* argument, ErrorText& text);

}  // namespace kivro
