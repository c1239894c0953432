// The one settings record and its defaults. Field order and sizes are those of
// the stored values; the engine takes a whole copy at every start.
#pragma once

#include <cstdint>

#include "text/Text.h"

namespace kivro {

constexpr int kExcludeCapacity = 256;  // 255 characters

struct Settings {
    bool IsRunning;
    int32_t TCPPort;
    bool BTComAuto;
    bool USBComAuto;
    char BTComPort[kPathCapacity];
    char USBComPort[kPathCapacity];
    bool DoSync;
    char SyncDir[kPathCapacity];
    int32_t MaxSyncSize;  // bytes
    char SyncExclude[kExcludeCapacity];
};

// The defaults. Port names are "COM3"/"COM8" on Windows and "rfcomm0"/"ttyACM0"
// on Linux; the sync folder is "C:\" on Windows and $HOME/KivroProxy on Linux.
Settings DefaultSettings();

// The registry key, under HKEY_CURRENT_USER.
inline constexpr const char* kSettingsKeyPath = "Software\\Ostraven\\KivroProxy";

}  // namespace kivro
