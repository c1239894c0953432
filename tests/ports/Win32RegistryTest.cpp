// The real registry backend: the keys that Bluetooth stacks and serial drivers
// write are written here with the real API, then found through the Win32 reader.
// A counting wrapper around that reader checks that every key it opened was
// closed. Keys this test did not create are left alone, and a machine that
// already has a Serial Port Profile key is not touched at all.
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>

#include <string>

#include "SerialCommValue.h"
#include "platform/win32/RegistryReader.h"
#include "ports/PortFinder.h"
#include "text/Text.h"

namespace kivro {
namespace {

using platform::RegistryEnum;
using platform::RegistryReader;
using platform::RegistryRoot;
using platform::UniqueHKey;

constexpr char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kBthEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\BTHENUM";
constexpr char kProfile[] =
    "SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}";
constexpr char kWidcomm[] = "Software\\Widcomm";
constexpr char kServices[] = "Software\\Widcomm\\BTConfig\\Services";

class CountingReader final : public RegistryReader {
  public:
    int open = 0;

    bool OpenKey(RegistryRoot root, const char* path, Key& key) override {
        return Count(real_.OpenKey(root, path, key));
    }
    bool OpenSubKey(Key parent, const char* path, Key& key) override {
        return Count(real_.OpenSubKey(parent, path, key));
    }
    RegistryEnum EnumKey(Key key, uint32_t index, char* name, uint32_t capacity) override {
        return real_.EnumKey(key, index, name, capacity);
    }
    RegistryEnum EnumValue(Key key, uint32_t index, char* name, uint32_t& nameSize, uint8_t* data,
                           uint32_t& dataSize) override {
        return real_.EnumValue(key, index, name, nameSize, data, dataSize);
    }
    bool QueryValue(Key key, const char* name, uint8_t* data, uint32_t& dataSize) override {
        return real_.QueryValue(key, name, data, dataSize);
    }
    void CloseKey(Key key) override {
        --open;
        real_.CloseKey(key);
    }

  private:
    bool Count(bool opened) {
        if (opened) ++open;
        return opened;
    }
    platform::Win32RegistryReader real_;
};

bool KeyExists(HKEY root, const char* path) {
    UniqueHKey key;
    return RegOpenKeyA(root, path, key.put()) == ERROR_SUCCESS;
}

// Creates (or opens) a key with all its missing parents.
UniqueHKey CreateKey(HKEY root, const std::string& path) {
    UniqueHKey key;
    LONG status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key.put(), nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS) << path;
    return key;
}

void SetText(HKEY key, const char* name, const std::string& data) {
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1)),
              ERROR_SUCCESS)
        << name;
}

void SetNumber(HKEY key, const char* name, DWORD value) {
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value),
              ERROR_SUCCESS)
        << name;
}

class RealRegistry : public testing::Test {
  protected:
    void SetUp() override {
        if (KeyExists(HKEY_LOCAL_MACHINE, kProfile) || KeyExists(HKEY_CURRENT_USER, kWidcomm))
            GTEST_SKIP() << "this machine has Bluetooth serial keys of its own";
        hadBthEnum_ = KeyExists(HKEY_LOCAL_MACHINE, kBthEnum);
        ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kEnum));
    }
    void TearDown() override {
        if (IsSkipped()) return;
        RegDeleteTreeA(HKEY_CURRENT_USER, kWidcomm);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, hadBthEnum_ ? kProfile : kBthEnum);
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProfile));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kWidcomm));
        UniqueHKey map;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", map.put()) ==
            ERROR_SUCCESS) {
            EXPECT_NE(RegQueryValueExA(map.get(), "\\Device\\USBSER000", nullptr, nullptr, nullptr,
                                       nullptr),
                      ERROR_SUCCESS);
        }
    }

    // Both searches through the counting reader, checked against the system's
    // own entry points, which must give the same answer.
    void ExpectPorts(const char* bt, const char* usb) {
        CountingReader reader;
        char port[kPathCapacity], systemPort[kPathCapacity];
        for (bool usbSearch : {false, true}) {
            const char* expected = usbSearch ? usb : bt;
            TextCopy(port, "unchanged");
            TextCopy(systemPort, "unchanged");
            bool found = usbSearch ? FindUSBPort(reader, port, sizeof port)
                                   : FindBTPort(reader, port, sizeof port);
            bool systemFound = usbSearch ? FindUSBPort(systemPort, sizeof systemPort)
                                         : FindBTPort(systemPort, sizeof systemPort);
            EXPECT_EQ(found, expected != nullptr) << (usbSearch ? "USB" : "BT");
            EXPECT_STREQ(port, expected != nullptr ? expected : "unchanged");
            EXPECT_EQ(systemFound, found);
            EXPECT_STREQ(systemPort, port);
            EXPECT_EQ(reader.open, 0) << "keys left open";
        }
    }

    bool hadBthEnum_ = false;
};

TEST_F(RealRegistry, FindsPortsWrittenByStacksAndDrivers) {
    ExpectPorts(nullptr, nullptr);

    // The Widcomm stack alone: its serial service names the port by number.
    UniqueHKey services = CreateKey(HKEY_CURRENT_USER, kServices);
    UniqueHKey audio = CreateKey(services.get(), "0001");
    SetNumber(audio.get(), "UUID", 0x1108);
    SetNumber(audio.get(), "ComPortNumber", 5);
    UniqueHKey serial = CreateKey(services.get(), "0002");
    SetNumber(serial.get(), "UUID", 0x1101);
    SetNumber(serial.get(), "ComPortNumber", 7);
    ExpectPorts("COM7", nullptr);

    // The Windows stack's Serial Port Profile key takes over once it exists.
    UniqueHKey stale =
        CreateKey(HKEY_LOCAL_MACHINE, std::string(kProfile) + "\\Inst1\\Device Parameters");
    SetText(stale.get(), "PortName", "COM40");
    ExpectPorts(nullptr, nullptr);
    CreateKey(HKEY_LOCAL_MACHINE, std::string(kProfile) + "\\Inst2\\Control");
    UniqueHKey live =
        CreateKey(HKEY_LOCAL_MACHINE, std::string(kProfile) + "\\Inst2\\Device Parameters");
    SetText(live.get(), "PortName", "COM41");
    ExpectPorts("COM41", nullptr);

    // The serial device map: an over-long entry first, a plain serial port with
    // a lower number that is no candidate, and two candidates in mixed case.
    test::SerialCommValue overLong("\\Device\\00000001", "COM2" + std::string(300, ' '));
    test::SerialCommValue phone("\\Device\\00000077", "com198");
    test::SerialCommValue usb("\\Device\\USBSER000", "COM201");
    test::SerialCommValue plain("\\Device\\Serial9", "COM3");
    ExpectPorts("COM41", "COM198");
}

}  // namespace
}  // namespace kivro

#endif  // _WIN32
