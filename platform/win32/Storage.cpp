// Windows defaults that name things of the system. The settings themselves
// live in the registry, which the settings layer's store reaches directly
// (settings/win32/SettingsStorage.cpp); the file primitives of Storage.h are
// Linux's, whose settings are a file.
#include "platform/Storage.h"

#include "text/Text.h"

namespace kivro::platform {

const char* DefaultBTPortName() {
    return "COM3";
}

const char* DefaultUSBPortName() {
    return "COM8";
}

void DefaultSyncFolder(char* folder, size_t capacity) {
    TextCopy(folder, capacity, "C:\\");
}

}  // namespace kivro::platform
