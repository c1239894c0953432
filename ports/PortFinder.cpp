// The registry rules of port discovery, and the system entry points that pick
// the registry where the machine has one and sysfs where it does not. Fixed
// buffers throughout: the engine calls this on every attempt to open a port.
// Every key is held by a RegistryKey, so each early return closes what it opened.
#include "ports/PortFinder.h"

#include <cstdint>
#include <cstring>

#include "platform/RegistryReader.h"
#include "text/Text.h"

namespace kivro {

using platform::RegistryEnum;
using platform::RegistryKey;
using platform::RegistryRoot;

namespace {

// The Serial Port Profile service class below the Bluetooth enumerator.
constexpr char kProfileKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}";
constexpr char kWidcommServices[] = "Software\\Widcomm\\BTConfig\\Services";
constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr uint32_t kSerialPortClass = 0x1101;
constexpr uint32_t kBufferSize = 256;

void WriteComName(int64_t number, char* portName, size_t capacity) {
    char text[16] = "COM";
    FormatDecimal(number, text + 3, sizeof text - 3);
    TextCopy(portName, capacity, text);
}

// The first instance with a "Control" subkey (present only while the device is
// installed) and a non-empty "PortName". An empty name would be a success the
// engine cannot open, hiding the instances after it, so it does not count.
bool FromProfileKey(const RegistryKey& profile, char* portName, size_t capacity) {
    char instance[kBufferSize];
    char path[kBufferSize + 32];
    for (uint32_t index = 0;; ++index) {
        RegistryEnum step = profile.EnumKey(index, instance, sizeof instance);
        if (step == RegistryEnum::End) return false;
        if (step == RegistryEnum::Skip) continue;
        TextCopy(path, instance);
        TextAppend(path, "\\Control");
        if (!profile.OpenSubKey(path)) continue;  // only its presence counts: closed at once
        TextCopy(path, instance);
        TextAppend(path, "\\Device Parameters");
        RegistryKey parameters = profile.OpenSubKey(path);
        if (!parameters) continue;
        uint8_t data[kBufferSize];
        uint32_t size = sizeof data;
        if (!parameters.QueryValue("PortName", data, size)) continue;
        const char* text = reinterpret_cast<const char*>(data);
        if (TextLength(text, size) == 0) continue;
        TextCopy(portName, capacity, text, size);
        return true;
    }
}

// A 4-byte registry number, stored little-endian as REG_DWORD is.
bool ReadNumber(const RegistryKey& key, const char* name, uint32_t& value) {
    uint8_t data[4];
    uint32_t size = sizeof data;
    if (!key.QueryValue(name, data, size) || size != sizeof data) return false;
    value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    return true;
}

bool FromWidcommServices(platform::RegistryReader& registry, char* portName, size_t capacity) {
    RegistryKey services = RegistryKey::Open(registry, RegistryRoot::CurrentUser, kWidcommServices);
    if (!services) return false;
    char name[kBufferSize];
    for (uint32_t index = 0;; ++index) {
        RegistryEnum step = services.EnumKey(index, name, sizeof name);
        if (step == RegistryEnum::End) return false;
        if (step == RegistryEnum::Skip) continue;
        RegistryKey service = services.OpenSubKey(name);
        if (!service) continue;
        uint32_t serviceClass = 0, port = 0;
        if (!ReadNumber(service, "UUID", serviceClass) || serviceClass != kSerialPortClass)
            continue;
        if (!ReadNumber(service, "ComPortNumber", port)) continue;
        WriteComName(port, portName, capacity);
        return true;
    }
}

// Device names of the phone's USB serial drivers in the serial device map.
bool IsPhoneDevice(const char* name, uint32_t length) {
    char upper[kBufferSize];
    TextCopy(upper, sizeof upper, name, length < sizeof upper ? length : sizeof upper);
    UpperText(upper, sizeof upper);
    size_t upperLength = TextLength(upper);
    return (upperLength >= 10 && std::memcmp(upper, "\\DEVICE\\00", 10) == 0) ||
           EqualNoCase(upper, sizeof upper, "\\DEVICE\\USBSER000", SIZE_MAX) ||
           EqualNoCase(upper, sizeof upper, "\\DEVICE\\ZEBRMDM1", SIZE_MAX);
}

// "COM" in any case followed by a whole decimal number; the data need not end
// in a NUL, so only the bytes the registry stored are looked at.
bool ParseComName(const uint8_t* data, uint32_t size, int32_t& number) {
    const char* text = reinterpret_cast<const char*>(data);
    if (size < 3 || UpperChar(text[0]) != 'C' || UpperChar(text[1]) != 'O' ||
        UpperChar(text[2]) != 'M')
        return false;
    return ParseInt32(text + 3, size - 3, number);
}

}  // namespace

bool FindBTPort(platform::RegistryReader& registry, char* portName, size_t capacity) {
    RegistryKey profile = RegistryKey::Open(registry, RegistryRoot::LocalMachine, kProfileKey);
    // Widcomm is asked only on machines without the Windows stack's profile key.
    if (profile) return FromProfileKey(profile, portName, capacity);
    return FromWidcommServices(registry, portName, capacity);
}

bool FindUSBPort(platform::RegistryReader& registry, char* portName, size_t capacity) {
    RegistryKey map = RegistryKey::Open(registry, RegistryRoot::LocalMachine, kSerialComm);
    if (!map) return false;
    constexpr int32_t kNone = INT32_MAX;
    int32_t best = kNone;
    char name[kBufferSize];
    uint8_t data[kBufferSize];
    for (uint32_t index = 0;; ++index) {
        uint32_t nameSize = sizeof name, dataSize = sizeof data;
        RegistryEnum step = map.EnumValue(index, name, nameSize, data, dataSize);
        if (step == RegistryEnum::End) break;
        if (step == RegistryEnum::Skip) continue;
        int32_t number = 0;
        if (IsPhoneDevice(name, nameSize) && ParseComName(data, dataSize, number) && number < best)
            best = number;
    }
    map.reset();
    if (best == kNone) return false;
    WriteComName(best, portName, capacity);
    return true;
}

bool FindBTPort(char* portName, size_t capacity) {
    if (platform::RegistryReader* registry = platform::MachineRegistry())
        return FindBTPort(*registry, portName, capacity);
    return FindRfcommPort(SysfsRootsFromEnvironment(), portName, capacity);
}

bool FindUSBPort(char* portName, size_t capacity) {
    if (platform::RegistryReader* registry = platform::MachineRegistry())
        return FindUSBPort(*registry, portName, capacity);
    return FindCdcAcmPort(SysfsRootsFromEnvironment(), portName, capacity);
}

}  // namespace kivro
