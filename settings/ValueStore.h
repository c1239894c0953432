// The raw store under the settings: one key of named values, each a type and
// its data bytes, with the registry's rules. The Win32 backend is the registry
// itself; the Linux backend is a REGEDIT4 file holding that one key. Typed
// access (numbers, flags, texts) lives above this in SettingsStore, so both
// backends need only these three calls and the typed rules exist once.
#pragma once

#include <cstdint>

namespace kivro {

// Value types, numbered as the registry numbers them.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

class ValueStore {
  public:
    virtual ~ValueStore() = default;

    // Opens the key (a path below HKEY_CURRENT_USER), creating it when missing.
    // Until an Open succeeds every Query and Set fails. Opening again replaces
    // the key in use.
    virtual bool Open(const char* keyPath) = 0;

    // Copies the value's data into data. size offers the buffer's size in bytes
    // and returns the data's size. Fails when the value is missing or its data
    // is larger than the buffer; the buffer's contents are then unspecified.
    // Shorter data fills only the leading bytes. The type is not examined.
    virtual bool Query(const char* name, void* data, uint32_t& size) = 0;

    // Stores the value with exactly these bytes and this type.
    virtual bool Set(const char* name, uint32_t type, const void* data, uint32_t size) = 0;
};

}  // namespace kivro
