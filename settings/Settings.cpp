// The defaults of the settings record. The values that name things of the
// system (serial ports, the sync folder) come from the platform layer.
#include "settings/Settings.h"

#include "platform/SettingsStorage.h"
#include "text/Text.h"

namespace kivro {

Settings DefaultSettings() {
    Settings s{};
    s.IsRunning = true;
    s.TCPPort = 5900;
    s.BTComAuto = true;
    s.USBComAuto = true;
    s.DoSync = false;
    s.MaxSyncSize = 131072;
    TextCopy(s.SyncExclude, "*.bak; *~");
    platform::FillSystemDefaults(s);
    return s;
}

}  // namespace kivro
