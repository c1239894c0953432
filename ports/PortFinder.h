// Finding the phone's serial ports without opening them: on Windows from the
// registry (Bluetooth Serial Port Profile devices, the Widcomm stack's services,
// the serial device map), on Linux from sysfs. The rules run over a read-only
// registry interface so that they are tested without Windows.
#pragma once

#include <cstddef>

namespace kivro {

// The system's own discovery (Win32 registry / Linux sysfs). On success portName
// holds the port's name (cut to capacity) and the result is true; on failure
// portName is left unchanged. Called on the engine's worker thread, no cache.
bool FindBTPort(char* portName, size_t capacity);
bool FindUSBPort(char* portName, size_t capacity);

}  // namespace kivro
