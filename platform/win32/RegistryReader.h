// The Win32 registry behind RegistryReader, and UniqueHKey, the owner of one open
// HKEY. Declared in a header of its own (not only inside the .cpp) so that Windows
// tests can write keys with the real API and read them back through this backend.
#pragma once

#include <windows.h>

#include "platform/RegistryReader.h"
#include "platform/Unique.h"

namespace kivro::platform {

// Closes an opened (never a predefined) registry key.
void CloseHKey(HKEY key);
using UniqueHKey = Unique<HKEY, nullptr, CloseHKey>;

// Reads the real registry with RegOpenKeyA, RegEnumKeyA, RegEnumValueA and
// RegQueryValueExA; each key handed out is an HKEY that CloseKey closes.
class Win32RegistryReader final : public RegistryReader {
  public:
    bool OpenKey(RegistryRoot root, const char* path, Key& key) override;
    bool OpenSubKey(Key parent, const char* path, Key& key) override;
    RegistryEnum EnumKey(Key key, uint32_t index, char* name, uint32_t capacity) override;
    RegistryEnum EnumValue(Key key, uint32_t index, char* name, uint32_t& nameSize, uint8_t* data,
                           uint32_t& dataSize) override;
    bool QueryValue(Key key, const char* name, uint8_t* data, uint32_t& dataSize) override;
    void CloseKey(Key key) override;
};

}  // namespace kivro::platform
