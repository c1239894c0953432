// Read-only access to a registry, as much as port discovery needs: open a key
// under a root or below another key, enumerate subkeys and values by index, read
// one value. The discovery rules run over this interface so that the tests can
// give them an in-memory registry whose enumeration order they control; the Win32
// backend is the real registry. Keys are opaque numbers owned by a move-only
// RegistryKey, so no caller closes a key by hand. A generic registry class with
// writes was not taken: discovery never writes, and the settings store has its
// own needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivro::platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

// Outcome of one enumeration step. Skip: an entry exists at this index but does
// not fit the caller's buffers; the next index may still hold a good one.
enum class RegistryEnum { Item, Skip, End };

class RegistryReader {
  public:
    using Key = uintptr_t;  // opaque; 0 is never an open key

    virtual ~RegistryReader() = default;

    // path is relative to the root or to parent; false when it does not open.
    virtual bool OpenKey(RegistryRoot root, const char* path, Key& key) = 0;
    virtual bool OpenSubKey(Key parent, const char* path, Key& key) = 0;
    // name receives at most capacity bytes, NUL included.
    virtual RegistryEnum EnumKey(Key key, uint32_t index, char* name, uint32_t capacity) = 0;
    // nameSize: in, the name buffer's size in bytes; out, the name's length
    // without NUL. dataSize: in, the data buffer's size; out, the bytes stored.
    virtual RegistryEnum EnumValue(Key key, uint32_t index, char* name, uint32_t& nameSize,
                                   uint8_t* data, uint32_t& dataSize) = 0;
    // dataSize as for EnumValue; false when missing or larger than the buffer.
    virtual bool QueryValue(Key key, const char* name, uint8_t* data, uint32_t& dataSize) = 0;
    virtual void CloseKey(Key key) = 0;
};

// Owner of one open key of a reader; closes it when destroyed or reset.
class RegistryKey {
  public:
    RegistryKey() = default;
    static RegistryKey Open(RegistryReader& reader, RegistryRoot root, const char* path);
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { reset(); }

    explicit operator bool() const { return key_ != 0; }
    RegistryReader::Key get() const { return key_; }
    void reset();

    // A key below this one; an empty owner when it does not open.
    RegistryKey OpenSubKey(const char* path) const;
    RegistryEnum EnumKey(uint32_t index, char* name, uint32_t capacity) const {
        return reader_->EnumKey(key_, index, name, capacity);
    }
    // The sizes that come back never exceed the buffers, whatever the backend says.
    RegistryEnum EnumValue(uint32_t index, char* name, uint32_t& nameSize, uint8_t* data,
                           uint32_t& dataSize) const;
    bool QueryValue(const char* name, uint8_t* data, uint32_t& dataSize) const;

  private:
    RegistryKey(RegistryReader* reader, RegistryReader::Key key) : reader_(reader), key_(key) {}

    RegistryReader* reader_ = nullptr;
    RegistryReader::Key key_ = 0;
};

// The machine's own registry for port discovery: the Win32 registry on Windows,
// null on systems that have none (Linux finds its ports in sysfs instead).
RegistryReader* MachineRegistry();

}  // namespace kivro::platform
