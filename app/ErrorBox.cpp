// Error-box texts (see ErrorBox.h).
#include "app/ErrorBox.h"

#include "text/FormatText.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {

void ErrorBoxText(uint32_t id, const char* argument, ErrorText& text) {
    if (!LoadMessage(id, text, kErrorTextCapacity))
        TextCopy(text, kErrorTextCapacity, "Unknown Error, arg=%s");
    // A failed expansion still leaves a readable text; nobody acts on the result.
    FormatText(text, kErrorTextCapacity, text, kErrorTextCapacity, {argument ? argument : ""});
    text[kErrorTextCapacity] = '\0';
}

}  // namespace kivro
