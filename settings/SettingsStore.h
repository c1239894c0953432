// Typed access to the settings key, the load at start-up and the store at exit.
// Every reader and writer of settings goes through SettingsStore, whose
// operations keep the registry's rules on any backend: data larger than the
// destination fails the read, the stored type is never examined, shorter data
// fills only the leading bytes, a flag is true only when its number read as
// signed is above 0. The Win32 property page's operations of the same names
// delegate here rather than carry a second copy of these rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "settings/Settings.h"
#include "settings/ValueStore.h"

namespace kivro {

class SettingsStore {
  public:
    explicit SettingsStore(std::unique_ptr<ValueStore> values);

    // Opens HKEY_CURRENT_USER\keyPath, creating it when it cannot be opened.
    bool OpenKey(const char* keyPath);

    // Reads the value into buffer, offering all size bytes (terminator included).
    bool QueryString(char* buffer, uint32_t size, const char* name);
    // Stores the text up to its NUL or its capacity, plus one terminating NUL.
    bool SetString(const char* text, const char* name, size_t capacity = SIZE_MAX);

    // Reads at most 4 bytes (little-endian) into value.
    bool QueryDword(uint32_t& value, const char* name);
    bool QueryDword(int32_t& value, const char* name);
    bool SetDword(uint32_t value, const char* name);

    // On success flag = (number read as signed > 0); on failure flag is untouched.
    bool QueryBool(bool& flag, const char* name);
    bool SetBool(bool flag, const char* name);  // 1 or 0

    // Reads the value into buffer of size bytes; dataSize, when given, receives
    // the stored size (on success, how many leading bytes were filled).
    bool QueryBinary(void* buffer, uint32_t size, const char* name, uint32_t* dataSize = nullptr);
    bool SetBinary(const void* data, uint32_t size, const char* name);

    ValueStore& Values() { return *values_; }

  private:
    std::unique_ptr<ValueStore> values_;
};

// The main window's placement as stored in "WindowPos": the 44 bytes of a Win32
// WINDOWPLACEMENT, every field 32-bit little-endian, in this order.
struct WindowPlacement {
    static constexpr uint32_t kSize = 44;
    uint32_t length = kSize;
    uint32_t flags = 0;
    uint32_t showCmd = 0;  // 2: minimised
    int32_t minX = 0, minY = 0;
    int32_t maxX = 0, maxY = 0;
    int32_t left = 0, top = 0, right = 0, bottom = 0;  // the normal (restored) rectangle
};

inline constexpr const char* kWindowPosName = "WindowPos";

// Reads "WindowPos". False when it is missing or not exactly 44 bytes long (a
// shorter record would leave part of the placement unset); on success the
// length field is 44 whatever was stored.
bool QueryWindowPlacement(SettingsStore& store, WindowPlacement& placement);

// Fills settings from the store, in the stored values' order; a value that
// cannot be read takes its default. Numbers the engine cannot use (a TCPPort
// outside 0..65535, a negative MaxSyncSize) count as missing.
void LoadSettings(SettingsStore& store, Settings& settings);

// The exit-time store: "IsRunning" with SetBool, then, only when that
// succeeded and a placement is given, "WindowPos" (44 bytes). True when every
// store it attempted succeeded. Linux has no window and passes no placement.
bool SaveExitState(SettingsStore& store, bool running, const WindowPlacement* placement);

// The text of a new settings file: the REGEDIT4 header, the key and every value
// of settings, each after a one-line comment on what it does. No "WindowPos".
std::string DefaultSettingsFileText(const Settings& settings, const char* keyPath);

}  // namespace kivro
