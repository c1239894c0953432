// Finding the phone's serial ports without opening them: on Windows from the
// registry (Bluetooth Serial Port Profile devices, the Widcomm stack's services,
// the serial device map), on Linux from sysfs. The rules run over a read-only
// registry interface so that they are tested without Windows.
#pragma once

#include <cstddef>

namespace kivro {

namespace platform {
class RegistryReader;
}

// The system's own discovery (Win32 registry / Linux sysfs). On success portName
// holds the port's name (cut to capacity) and the result is true; on failure
// portName is left unchanged. Called on the engine's worker thread, no cache.
bool FindBTPort(char* portName, size_t capacity);
bool FindUSBPort(char* portName, size_t capacity);

// The registry rules over any reader, same contract. Bluetooth: the first usable
// Serial Port Profile instance, else (only when that key is missing) the first
// Widcomm serial service. USB: the lowest "COMn" of the serial device map's
// phone-driver entries.
bool FindBTPort(platform::RegistryReader& registry, char* portName, size_t capacity);
bool FindUSBPort(platform::RegistryReader& registry, char* portName, size_t capacity);

// Where the Linux rules look. sys stands for /sys. Without dev the result is the
// bare tty name ("ttyACM0", which the serial layer opens as /dev/ttyACM0); with
// dev it is the path dev + "/" + name, so a test can map it onto a pty.
struct SysfsRoots {
    const char* sys = "/sys";
    const char* dev = nullptr;
};

// The roots the system functions use on Linux: KIVRO_SYSFS_ROOT and
// KIVRO_DEV_ROOT from the environment when set and not empty, else the defaults.
SysfsRoots SysfsRootsFromEnvironment();

// The Linux rules, same contract: the lowest-numbered bound RFCOMM tty
// (class/tty/rfcommN) and the lowest-numbered tty of the cdc_acm driver
// (class/tty/ttyACMn). Neither opens a port.
bool FindRfcommPort(const SysfsRoots& roots, char* portName, size_t capacity);
bool FindCdcAcmPort(const SysfsRoots& roots, char* portName, size_t capacity);

}  // namespace kivro
