// Win32 backend of RegistryReader: the ANSI registry calls, one HKEY per opened
// key. ERROR_MORE_DATA during enumeration becomes Skip so that one over-long entry
// does not hide the entries after it; any other failure ends the enumeration.
#include "platform/win32/RegistryReader.h"

namespace kivro::platform {

void CloseHKey(HKEY key) {
    RegCloseKey(key);
}

namespace {
HKEY ToHKey(RegistryReader::Key key) {
    return reinterpret_cast<HKEY>(key);
}

bool Open(HKEY parent, const char* path, RegistryReader::Key& key) {
    UniqueHKey opened;
    if (RegOpenKeyA(parent, path, opened.put()) != ERROR_SUCCESS) return false;
    key = reinterpret_cast<RegistryReader::Key>(opened.release());
    return true;
}

RegistryEnum EnumResult(LONG status) {
    if (status == ERROR_SUCCESS) return RegistryEnum::Item;
    if (status == ERROR_MORE_DATA) return RegistryEnum::Skip;
    return RegistryEnum::End;
}
}  // namespace

bool Win32RegistryReader::OpenKey(RegistryRoot root, const char* path, Key& key) {
    HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    return Open(rootKey, path, key);
}

bool Win32RegistryReader::OpenSubKey(Key parent, const char* path, Key& key) {
    return Open(ToHKey(parent), path, key);
}

RegistryEnum Win32RegistryReader::EnumKey(Key key, uint32_t index, char* name, uint32_t capacity) {
    return EnumResult(RegEnumKeyA(ToHKey(key), index, name, capacity));
}

RegistryEnum Win32RegistryReader::EnumValue(Key key, uint32_t index, char* name, uint32_t& nameSize,
                                            uint8_t* data, uint32_t& dataSize) {
    DWORD nameLength = nameSize, dataLength = dataSize;
    LONG status =
        RegEnumValueA(ToHKey(key), index, name, &nameLength, nullptr, nullptr, data, &dataLength);
    nameSize = nameLength;
    dataSize = dataLength;
    return EnumResult(status);
}

bool Win32RegistryReader::QueryValue(Key key, const char* name, uint8_t* data, uint32_t& dataSize) {
    DWORD length = dataSize;
    LONG status = RegQueryValueExA(ToHKey(key), name, nullptr, nullptr, data, &length);
    dataSize = length;
    return status == ERROR_SUCCESS;
}

void Win32RegistryReader::CloseKey(Key key) {
    UniqueHKey closing(ToHKey(key));
}

RegistryReader* MachineRegistry() {
    static Win32RegistryReader reader;
    return &reader;
}

}  // namespace kivro::platform
