// One entry of the Windows serial device map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM)
// for the life of the object, written with the real registry API as a serial
// driver writes it. Any Windows test that needs FindUSBPort to name a port
// includes this as "ports/SerialCommValue.h". Under Wine the key already exists
// (Wine's mount manager lists its own COM ports there); when missing it is created
// volatile, as its volatile HARDWARE parent demands, and removed again once empty.
#pragma once

#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/RegistryReader.h"

namespace kivro::test {

class SerialCommValue {
  public:
    SerialCommValue(std::string deviceName, const std::string& data)
        : name_(std::move(deviceName)) {
        DWORD disposition = 0;
        LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, map_.put(), &disposition);
        EXPECT_EQ(status, ERROR_SUCCESS) << kKey;
        createdKey_ = disposition == REG_CREATED_NEW_KEY;
        status = RegSetValueExA(map_.get(), name_.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(data.c_str()),
                                static_cast<DWORD>(data.size() + 1));
        EXPECT_EQ(status, ERROR_SUCCESS) << name_;
    }
    ~SerialCommValue() {
        if (!map_) return;
        RegDeleteValueA(map_.get(), name_.c_str());
        DWORD values = 0;
        if (createdKey_ &&
            RegQueryInfoKeyA(map_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            values == 0) {
            map_.reset();
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        }
    }
    SerialCommValue(const SerialCommValue&) = delete;
    SerialCommValue& operator=(const SerialCommValue&) = delete;

  private:
    static constexpr char kKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    std::string name_;
    platform::UniqueHKey map_;
    bool createdKey_ = false;
};

}  // namespace kivro::test

#endif  // _WIN32
