// The Linux rules over fake sysfs trees: one table of trees with the port each
// search must name (or none), and the system entry points following the
// environment as an engine test points them.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FakeSysfs.h"
#include "ports/PortFinder.h"
#include "text/Text.h"

namespace kivro {
namespace {

using test::FakeSysfs;

struct UsbTty {
    const char* name;
    const char* driver;
};

struct Case {
    const char* what;
    std::vector<const char*> virtualTtys;
    std::vector<UsbTty> usbTtys;
    const char* bt;   // null: not found
    const char* usb;  // null: not found
};

const Case kCases[] = {
    {"no tty class at all", {}, {}, nullptr, nullptr},
    {"only other ttys",
     {"ttyS0", "tty1", "console", "ptmx"},
     {{"ttyUSB0", "ftdi_sio"}},
     nullptr,
     nullptr},
    {"several: lowest number wins",
     {"rfcomm2", "rfcomm0", "rfcomm1", "ttyS0"},
     {{"ttyACM1", "cdc_acm"}, {"ttyACM0", "cdc_acm"}},
     "rfcomm0",
     "ttyACM0"},
    {"gaps compare as numbers, not as text",
     {"rfcomm12", "rfcomm7", "rfcomm30"},
     {{"ttyACM10", "cdc_acm"}, {"ttyACM2", "cdc_acm"}, {"ttyACM33", "cdc_acm"}},
     "rfcomm7",
     "ttyACM2"},
    {"ttyACM of another driver or none is not CDC-ACM",
     {},
     {{"ttyACM0", "usb_serial_simple"}, {"ttyACM1", ""}, {"ttyACM5", "cdc_acm"}},
     nullptr,
     "ttyACM5"},
    {"only non-CDC-ACM ttyACMs", {}, {{"ttyACM0", "option"}}, nullptr, nullptr},
    {"names that only start like a port",
     {"rfcomm", "rfcommX", "rfcomm1a", "rfcomm99999999999", "rfcomm4"},
     {{"ttyACM", "cdc_acm"}, {"ttyACMx", "cdc_acm"}, {"ttyACM7", "cdc_acm"}},
     "rfcomm4",
     "ttyACM7"},
};

void ExpectFound(bool found, const char* port, const char* expected, const char* what) {
    if (expected == nullptr) {
        EXPECT_FALSE(found) << what;
        EXPECT_STREQ(port, "unchanged") << what;
    } else {
        EXPECT_TRUE(found) << what;
        EXPECT_STREQ(port, expected) << what;
    }
}

TEST(SysfsPorts, Table) {
    int index = 0;
    for (const Case& c : kCases) {
        FakeSysfs sysfs("table" + std::to_string(index++));
        for (const char* name : c.virtualTtys) sysfs.AddVirtualTty(name);
        for (const UsbTty& tty : c.usbTtys) sysfs.AddUsbTty(tty.name, tty.driver);
        std::string root = sysfs.SysRoot();
        SysfsRoots roots{root.c_str(), nullptr};
        char port[kPathCapacity];
        TextCopy(port, "unchanged");
        ExpectFound(FindRfcommPort(roots, port, sizeof port), port, c.bt, c.what);
        TextCopy(port, "unchanged");
        ExpectFound(FindCdcAcmPort(roots, port, sizeof port), port, c.usb, c.what);
    }
}

TEST(SysfsPorts, RegularFileInTtyClassIsNoPort) {
    FakeSysfs sysfs("file");
    sysfs.AddVirtualTty("rfcomm3");
    std::ofstream(sysfs.SysRoot() + "/class/tty/rfcomm0") << "not a device\n";
    std::string root = sysfs.SysRoot();
    char port[kPathCapacity] = "";
    ASSERT_TRUE(FindRfcommPort({root.c_str(), nullptr}, port, sizeof port));
    EXPECT_STREQ(port, "rfcomm3");
}

// The engine's own entry points read their roots from the environment; with a
// dev root the result is a path the serial layer opens as given.
TEST(SysfsPorts, SystemFunctionsFollowEnvironment) {
    char port[kPathCapacity] = "";
    {
        FakeSysfs sysfs("env");
        sysfs.AddVirtualTty("rfcomm1");
        sysfs.AddUsbTty("ttyACM3", "cdc_acm");
        sysfs.LinkDevice("ttyACM3", "/dev/null");
        sysfs.Activate();
        EXPECT_TRUE(FindBTPort(port, sizeof port));
        EXPECT_EQ(port, sysfs.DevRoot() + "/rfcomm1");
        EXPECT_TRUE(FindUSBPort(port, sizeof port));
        EXPECT_EQ(port, sysfs.DevRoot() + "/ttyACM3");
        EXPECT_EQ(std::filesystem::read_symlink(port), "/dev/null");
        ASSERT_EQ(setenv("KIVRO_DEV_ROOT", "", 1), 0);
        EXPECT_TRUE(FindUSBPort(port, sizeof port));
        EXPECT_STREQ(port, "ttyACM3");
    }
    SysfsRoots defaults = SysfsRootsFromEnvironment();
    EXPECT_STREQ(defaults.sys, "/sys");
    EXPECT_EQ(defaults.dev, nullptr);
}

}  // namespace
}  // namespace kivro

#endif  // _WIN32
