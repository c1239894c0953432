// The registry rules of port discovery over an in-memory registry: one table of
// registry contents with the port each search must name (or none), every search
// also run with the serial device map enumerated backwards, and every key that a
// search opened checked closed afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include "FakeRegistry.h"
#include "ports/PortFinder.h"
#include "text/Text.h"

namespace kivro {
namespace {

using platform::RegistryRoot;
using test::FakeRegistry;

constexpr char kProfile[] =
    "SYSTEM\\CurrentControlSet\\Enum\\BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}";
constexpr char kWidcomm[] = "Software\\Widcomm\\BTConfig\\Services";
constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kUnchanged[] = "unchanged";

struct Instance {
    const char* name;
    bool control = true;
    bool parameters = true;
    std::optional<std::string> portName;  // data bytes as stored, NUL included
};

void AddInstances(FakeRegistry& registry, std::initializer_list<Instance> instances) {
    registry.Add(RegistryRoot::LocalMachine, kProfile);
    for (const Instance& instance : instances) {
        std::string key = std::string(kProfile) + "\\" + instance.name;
        registry.Add(RegistryRoot::LocalMachine, key);
        if (instance.control) registry.Add(RegistryRoot::LocalMachine, key + "\\Control");
        if (!instance.parameters) continue;
        FakeRegistry::Node& parameters =
            registry.Add(RegistryRoot::LocalMachine, key + "\\Device Parameters");
        if (instance.portName) FakeRegistry::Set(parameters, "PortName", *instance.portName);
    }
}

struct Service {
    const char* name;
    std::optional<uint32_t> uuid;
    std::optional<uint32_t> port;
    bool denyOpen = false;
};

void AddServices(FakeRegistry& registry, std::initializer_list<Service> services) {
    registry.Add(RegistryRoot::CurrentUser, kWidcomm);
    for (const Service& service : services) {
        FakeRegistry::Node& key =
            registry.Add(RegistryRoot::CurrentUser, std::string(kWidcomm) + "\\" + service.name);
        key.denyOpen = service.denyOpen;
        if (service.uuid) FakeRegistry::SetNumber(key, "UUID", *service.uuid);
        if (service.port) FakeRegistry::SetNumber(key, "ComPortNumber", *service.port);
    }
}

void AddDeviceMap(FakeRegistry& registry,
                  std::initializer_list<std::pair<std::string, std::string>> values) {
    FakeRegistry::Node& map = registry.Add(RegistryRoot::LocalMachine, kSerialComm);
    for (const auto& [name, data] : values) FakeRegistry::Set(map, name, data);
}

std::string Text(const char* text) {
    return std::string(text) + '\0';
}

struct Case {
    const char* what;
    std::function<void(FakeRegistry&)> build;
    const char* bt;   // null: not found
    const char* usb;  // null: not found
};

const Case kCases[] = {
    {"empty registry", [](FakeRegistry&) {}, nullptr, nullptr},
    {"instance without Control is passed over",
     [](FakeRegistry& r) {
         AddInstances(r, {{"A", false, true, Text("COM3")}, {"B", true, true, Text("COM8")}});
     },
     "COM8", nullptr},
    {"instance without Device Parameters or PortName is passed over",
     [](FakeRegistry& r) {
         AddInstances(r, {{"A", true, false, std::nullopt},
                          {"B", true, true, std::nullopt},
                          {"C", true, true, Text("")},
                          {"D", true, true, Text("COM12")}});
     },
     "COM12", nullptr},
    {"first usable instance wins in enumeration order",
     [](FakeRegistry& r) {
         AddInstances(r, {{"Z", true, true, Text("COM5")}, {"A", true, true, Text("COM2")}});
     },
     "COM5", nullptr},
    {"PortName without terminator and of full length",
     [](FakeRegistry& r) {
         AddInstances(r, {{"A", true, true, std::string("COM6")}});
     },
     "COM6", nullptr},
    {"PortName over 256 bytes is unreadable",
     [](FakeRegistry& r) {
         AddInstances(r, {{"A", true, true, Text(std::string(300, 'x').c_str())},
                          {"B", true, true, Text("COM4")}});
     },
     "COM4", nullptr},
    {"profile key without usable instance hides Widcomm",
     [](FakeRegistry& r) {
         AddInstances(r, {{"A", false, true, Text("COM3")}});
         AddServices(r, {{"0001", 0x1101, 7}});
     },
     nullptr, nullptr},
    {"Widcomm: other service class passed over, serial service gives its number",
     [](FakeRegistry& r) {
         AddServices(r, {{"0001", 0x1112, 3}, {"0002", 0x1101, 7}});
     },
     "COM7", nullptr},
    {"Widcomm: unopenable, number-less and class-less services passed over",
     [](FakeRegistry& r) {
         AddServices(r, {{"0001", 0x1101, 2, true},
                         {"0002", 0x1101, std::nullopt},
                         {"0003", std::nullopt, 5},
                         {"0004", 0x1101, 4000000000u}});
     },
     "COM4000000000", nullptr},
    {"Widcomm: UUID that is not 4 bytes is no service class",
     [](FakeRegistry& r) {
         AddServices(r, {{"0001", std::nullopt, 9}});
         FakeRegistry::Set(r.Add(RegistryRoot::CurrentUser, std::string(kWidcomm) + "\\0001"),
                           "UUID", std::string("\x01\x11", 2));
     },
     nullptr, nullptr},
    {"device map: USB serial driver beats a lower-numbered other name",
     [](FakeRegistry& r) {
         AddDeviceMap(r, {{"\\Device\\0000006c", Text("COM9")},
                          {"\\Device\\USBSER000", Text("COM4")},
                          {"\\Device\\Serial0", Text("COM1")}});
     },
     nullptr, "COM4"},
    {"device map: names compared upper-cased, prefix in any case",
     [](FakeRegistry& r) {
         AddDeviceMap(
             r, {{"\\device\\usbser000", Text("com5")}, {"\\Device\\ZebrMdm1", Text("cOm11")}});
     },
     nullptr, "COM5"},
    {"device map: near-miss names are not candidates",
     [](FakeRegistry& r) {
         AddDeviceMap(r, {{"\\Device\\USBSER0001", Text("COM1")},
                          {"\\Device\\ZEBRMDM10", Text("COM2")},
                          {"\\Device\\0", Text("COM3")},
                          {"Device\\00000001", Text("COM4")},
                          {"\\Device\\ZEBRMDM1", Text("COM20")}});
     },
     nullptr, "COM20"},
    {"device map: data must be COM and a whole number",
     [](FakeRegistry& r) {
         AddDeviceMap(r, {{"\\Device\\00000001", Text("COM")},
                          {"\\Device\\00000002", Text("COM7x")},
                          {"\\Device\\00000003", Text(" COM1")},
                          {"\\Device\\00000004", Text("COM99999999999")},
                          {"\\Device\\00000005", Text("CO")},
                          {"\\Device\\00000006", Text("LPT2")},
                          {"\\Device\\00000007", Text("COM 15")}});
     },
     nullptr, "COM15"},
    {"device map: only no candidates at all gives nothing",
     [](FakeRegistry& r) {
         AddDeviceMap(r, {{"\\Device\\Serial0", Text("COM1")}});
     },
     nullptr, nullptr},
    {"device map: data is read to its stored length, not to stale bytes",
     [](FakeRegistry& r) {
         AddDeviceMap(r, {{"\\Device\\00000001", Text("COM12345")},
                          {"\\Device\\00000002", std::string("COM3")}});
     },
     nullptr, "COM3"},
    {"device map: over-long entries are skipped, not the end",
     [](FakeRegistry& r) {
         AddDeviceMap(r, {{"\\Device\\00000001", Text(("COM1" + std::string(300, ' ')).c_str())},
                          {"\\Device\\0000" + std::string(300, '1'), Text("COM2")},
                          {"\\Device\\00000003", Text("COM30")}});
     },
     nullptr, "COM30"},
    {"both kinds at once",
     [](FakeRegistry& r) {
         AddInstances(r, {{"A", true, true, Text("COM10")}});
         AddServices(r, {{"0001", 0x1101, 7}});
         AddDeviceMap(r, {{"\\Device\\USBSER000", Text("COM11")}});
     },
     "COM10", "COM11"},
};

void ExpectFound(bool found, const char* port, const char* expected, const char* what) {
    if (expected == nullptr) {
        EXPECT_FALSE(found) << what;
        EXPECT_STREQ(port, kUnchanged) << what;
    } else {
        EXPECT_TRUE(found) << what;
        EXPECT_STREQ(port, expected) << what;
    }
}

TEST(RegistryRules, Table) {
    for (const Case& c : kCases) {
        for (bool reversed : {false, true}) {
            FakeRegistry registry;
            c.build(registry);
            if (reversed) {
                auto& values = registry.Add(RegistryRoot::LocalMachine, kSerialComm).values;
                std::reverse(values.begin(), values.end());
            }
            char port[kPathCapacity];
            if (!reversed) {
                TextCopy(port, kUnchanged);
                ExpectFound(FindBTPort(registry, port, sizeof port), port, c.bt, c.what);
                EXPECT_EQ(registry.OpenKeys(), 0u) << c.what;
            }
            TextCopy(port, kUnchanged);
            ExpectFound(FindUSBPort(registry, port, sizeof port), port, c.usb, c.what);
            EXPECT_EQ(registry.OpenKeys(), 0u) << c.what;
            EXPECT_EQ(registry.BadCloses(), 0) << c.what;
        }
    }
}

TEST(RegistryRules, ResultIsCutToCapacity) {
    FakeRegistry registry;
    AddDeviceMap(registry, {{"\\Device\\USBSER000", Text("COM123")}});
    AddInstances(registry, {{"A", true, true, Text("COM45")}});
    char port[5] = "xxxx";
    ASSERT_TRUE(FindUSBPort(registry, port, 4));
    EXPECT_EQ(std::string(port, 5), std::string("COM1\0", 5));
    ASSERT_TRUE(FindBTPort(registry, port, 4));
    EXPECT_EQ(std::string(port, 5), std::string("COM4\0", 5));
}

}  // namespace
}  // namespace kivro
