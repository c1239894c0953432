// The defaults of the settings record. The values that name things of the
// system (serial ports, the sync folder) come from the platform layer.
#include "settings/Settings.h"

#include "platform/Storage.h"
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
    TextCopy(s.BTComPort, platform::DefaultBTPortName());
    TextCopy(s.USBComPort, platform::DefaultUSBPortName());
    platform::DefaultSyncFolder(s.SyncDir, sizeof s.SyncDir);
    return s;
}

}  // namespace kivro
