// The Windows settings store: the key HKEY_CURRENT_USER\<path> of the registry,
// opened once and kept for the whole run. Each call is the one registry call
// that does the job; the registry's own rules (ERROR_MORE_DATA for data larger
// than the buffer, the type ignored when it is not asked for) are the rules the
// typed operations rely on, so nothing is added here. The registry calls are
// the storage primitive itself; the platform layer gives the key's owner.
#include "settings/SettingsStorage.h"

#include <windows.h>

#include <memory>

#include "platform/win32/RegistryReader.h"  // UniqueHKey

namespace kivro {

namespace {

class RegistryValueStore final : public ValueStore {
  public:
    bool Open(const char* keyPath) override {
        LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ | KEY_WRITE, key_.put());
        if (rc != ERROR_SUCCESS)
            rc = RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, key_.put(), nullptr);
        if (rc != ERROR_SUCCESS) key_.reset();
        return rc == ERROR_SUCCESS;
    }

    bool Query(const char* name, void* data, uint32_t& size) override {
        if (!key_.get()) return false;
        DWORD n = size;
        LONG rc =
            RegQueryValueExA(key_.get(), name, nullptr, nullptr, static_cast<BYTE*>(data), &n);
        size = n;
        return rc == ERROR_SUCCESS;
    }

    bool Set(const char* name, uint32_t type, const void* data, uint32_t size) override {
        if (!key_.get()) return false;
        return RegSetValueExA(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
               ERROR_SUCCESS;
    }

  private:
    platform::UniqueHKey key_;
};

}  // namespace

std::unique_ptr<ValueStore> CreateSettingsValueStore() {
    return std::make_unique<RegistryValueStore>();
}

}  // namespace kivro
