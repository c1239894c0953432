// The registry backend against the real (Wine's) registry: the key is created
// when missing, and each typed store leaves the registry type regedit and
// other readers expect.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include "TestStore.h"

namespace kivro::test {
namespace {

using RegistryStore = StoreTest;

TEST_F(RegistryStore, CreatesTheKeyAndStoresRegistryTypes) {
    HKEY probe = nullptr;
    ASSERT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, KEY_READ, &probe),
              ERROR_SUCCESS);
    SettingsStore& s = Store();  // opens, which creates the key
    ASSERT_TRUE(s.SetString("COM4", "BTComPort"));
    ASSERT_TRUE(s.SetBool(true, "DoSync"));
    const uint8_t blob[3] = {1, 2, 3};
    ASSERT_TRUE(s.SetBinary(blob, sizeof blob, "WindowPos"));

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, KEY_READ, &probe),
              ERROR_SUCCESS);
    const struct {
        const char* name;
        DWORD type;
        DWORD size;
    } cases[] = {{"BTComPort", REG_SZ, 5}, {"DoSync", REG_DWORD, 4}, {"WindowPos", REG_BINARY, 3}};
    for (const auto& c : cases) {
        DWORD type = 0, size = 0;
        EXPECT_EQ(RegQueryValueExA(probe, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
    }
    RegCloseKey(probe);

    // A second open finds the existing key and its values.
    SettingsStore again(NewValues());
    ASSERT_TRUE(again.OpenKey(keyPath_.c_str()));
    bool doSync = false;
    EXPECT_TRUE(again.QueryBool(doSync, "DoSync"));
    EXPECT_TRUE(doSync);
}

}  // namespace
}  // namespace kivro::test

#endif
