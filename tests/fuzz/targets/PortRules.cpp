// Port discovery's registry rules over an in-memory registry built from the
// input: a small script adds Serial Port Profile instances, Widcomm services and
// serial device map entries with fuzzed names, data, sizes and refusals. After
// each search every key it opened must be closed once, a failed search must
// leave the name as it was, and a found name is never empty.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "FakeRegistry.h"
#include "FuzzTarget.h"
#include "ports/PortFinder.h"
#include "text/Text.h"

using namespace kivro;
using platform::RegistryRoot;
using test::FakeRegistry;

namespace {

constexpr char kProfile[] =
    "SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}";
constexpr char kWidcomm[] = "Software\\Widcomm\\BTConfig\\Services";
constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kUnchanged[] = "unchanged";

std::string Bytes(fuzz::Input& in, size_t max) {
    const uint8_t* bytes = nullptr;
    size_t n = in.Take(in.Byte() % (max + 1), bytes);
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

// A key name: no path separator, never empty (the registry has neither).
std::string KeyName(fuzz::Input& in) {
    std::string name = Bytes(in, 300);
    for (char& c : name)
        if (c == '\\') c = '_';
    return name.empty() ? "0" : name;
}

std::string Number(uint32_t value, size_t size) {
    std::string data;
    for (size_t i = 0; i < size; ++i) data.push_back(static_cast<char>(value >> (8 * (i % 4))));
    return data;
}

void Build(fuzz::Input& in, FakeRegistry& registry) {
    for (int step = 0; step < 64 && in.Size() > 0; ++step) {
        uint8_t op = in.Byte();
        uint8_t flags = in.Byte();
        switch (op % 4) {
            case 0: {  // a Serial Port Profile instance
                std::string key = std::string(kProfile) + "\\" + KeyName(in);
                registry.Add(RegistryRoot::LocalMachine, key).denyOpen = flags & 1;
                if (flags & 2)
                    registry.Add(RegistryRoot::LocalMachine, key + "\\Control").denyOpen =
                        flags & 4;
                if (flags & 8) {
                    auto& parameters =
                        registry.Add(RegistryRoot::LocalMachine, key + "\\Device Parameters");
                    parameters.denyOpen = flags & 16;
                    FakeRegistry::Set(parameters, flags & 32 ? "PortName" : "portname",
                                      Bytes(in, 300));
                }
                break;
            }
            case 1: {  // a Widcomm service
                auto& service = registry.Add(RegistryRoot::CurrentUser,
                                             std::string(kWidcomm) + "\\" + KeyName(in));
                service.denyOpen = flags & 1;
                uint32_t uuid = flags & 2 ? 0x1101 : in.Number(4);
                if (flags & 4) FakeRegistry::Set(service, "UUID", Number(uuid, 1 + (flags >> 6)));
                if (flags & 8)
                    FakeRegistry::Set(service, "ComPortNumber",
                                      Number(in.Number(4), flags & 16 ? 4 : 2));
                break;
            }
            case 2: {  // a serial device map entry
                static const char* const kDevices[] = {"\\Device\\USBSER000", "\\Device\\ZEBRMDM1",
                                                       "\\Device\\00000071", "\\Device\\Serial0"};
                std::string name = flags & 1 ? Bytes(in, 300) : kDevices[(flags >> 1) % 4];
                FakeRegistry::Set(registry.Add(RegistryRoot::LocalMachine, kSerialComm), name,
                                  Bytes(in, 300));
                break;
            }
            default:  // one of the three roots refuses to open
                if (flags & 1) registry.Add(RegistryRoot::LocalMachine, kProfile).denyOpen = true;
                if (flags & 2) registry.Add(RegistryRoot::CurrentUser, kWidcomm).denyOpen = true;
                if (flags & 4)
                    registry.Add(RegistryRoot::LocalMachine, kSerialComm).denyOpen = true;
                break;
        }
    }
}

void Search(FakeRegistry& registry, size_t capacity, bool bluetooth) {
    auto name = std::make_unique<char[]>(capacity);
    std::memset(name.get(), '#', capacity);
    std::memcpy(name.get(), kUnchanged, std::min(capacity, sizeof kUnchanged));
    auto before = std::make_unique<char[]>(capacity);
    std::memcpy(before.get(), name.get(), capacity);
    bool found = bluetooth ? FindBTPort(registry, name.get(), capacity)
                           : FindUSBPort(registry, name.get(), capacity);
    KIVRO_FUZZ_REQUIRE(registry.OpenKeys() == 0 && registry.BadCloses() == 0);
    KIVRO_FUZZ_REQUIRE(found || std::memcmp(name.get(), before.get(), capacity) == 0);
    KIVRO_FUZZ_REQUIRE(!found || TextLength(name.get(), capacity) > 0);
}

}  // namespace

KIVRO_FUZZ_TARGET(PortRules)(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    size_t capacity = 1 + in.Byte() % 64;
    if (capacity > 40) capacity = kPathCapacity;  // most searches get the engine's own buffer
    FakeRegistry registry;
    Build(in, registry);
    Search(registry, capacity, true);
    Search(registry, capacity, false);
    return 0;
}
