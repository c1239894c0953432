// The Linux rules over fake sysfs trees laid out as the kernel lays them out:
// class/tty entries are links into devices/, a CDC-ACM tty's device is its USB
// interface and that interface's driver link names the driver.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ports/PortFinder.h"
#include "text/Text.h"

namespace kivro {
namespace {

namespace fs = std::filesystem;

class FakeSysfs {
  public:
    explicit FakeSysfs(const std::string& name)
        : root_(fs::path(testing::TempDir()) / ("kivro-sysfs-" + name)) {
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~FakeSysfs() { fs::remove_all(root_); }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    std::string Root() const { return root_.string(); }

    // A tty with no hardware behind it (rfcommN, ttySn, consoles).
    void AddVirtualTty(const std::string& name) {
        fs::path device = root_ / "devices/virtual/tty" / name;
        fs::create_directories(device);
        Link(device, name);
    }
    // A ttyACM on USB interface 1-1:1.<n>, bound to driver (empty: no driver).
    void AddUsbTty(const std::string& name, const std::string& driver) {
        fs::path interface = root_ / "devices/pci0000:00/usb1/1-1" / ("1-1:1." + name);
        fs::path device = interface / "tty" / name;
        fs::create_directories(device);
        fs::create_directory_symlink("../../../" + interface.filename().string(),
                                     device / "device");
        if (!driver.empty()) {
            fs::create_directories(root_ / "bus/usb/drivers" / driver);
            fs::create_directory_symlink("../../../../../bus/usb/drivers/" + driver,
                                         interface / "driver");
        }
        Link(device, name);
    }
    void AddClassFile(const std::string& name) {
        fs::create_directories(root_ / "class/tty");
        std::FILE* file = std::fopen((root_ / "class/tty" / name).c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }

  private:
    void Link(const fs::path& device, const std::string& name) {
        fs::create_directories(root_ / "class/tty");
        fs::create_directory_symlink(fs::relative(device, root_ / "class/tty"),
                                     root_ / "class/tty" / name);
    }

    fs::path root_;
};

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
        std::string root = sysfs.Root();
        SysfsRoots roots{root.c_str(), nullptr};
        char port[261];
        TextCopy(port, "unchanged");
        ExpectFound(FindRfcommPort(roots, port, sizeof port), port, c.bt, c.what);
        TextCopy(port, "unchanged");
        ExpectFound(FindCdcAcmPort(roots, port, sizeof port), port, c.usb, c.what);
    }
}

TEST(SysfsPorts, RegularFileInTtyClassIsNoPort) {
    FakeSysfs sysfs("file");
    sysfs.AddClassFile("rfcomm0");
    sysfs.AddVirtualTty("rfcomm3");
    std::string root = sysfs.Root();
    char port[261] = "";
    ASSERT_TRUE(FindRfcommPort({root.c_str(), nullptr}, port, sizeof port));
    EXPECT_STREQ(port, "rfcomm3");
}

// The engine's own entry points read their roots from the environment; with a
// dev root the result is a path the serial layer opens as given.
TEST(SysfsPorts, SystemFunctionsFollowEnvironment) {
    FakeSysfs sysfs("env");
    sysfs.AddVirtualTty("rfcomm1");
    sysfs.AddUsbTty("ttyACM3", "cdc_acm");
    std::string root = sysfs.Root();
    ASSERT_EQ(setenv("KIVRO_SYSFS_ROOT", root.c_str(), 1), 0);
    ASSERT_EQ(setenv("KIVRO_DEV_ROOT", "/tmp/fake-dev/", 1), 0);
    char port[261] = "";
    EXPECT_TRUE(FindBTPort(port, sizeof port));
    EXPECT_STREQ(port, "/tmp/fake-dev/rfcomm1");
    ASSERT_EQ(setenv("KIVRO_DEV_ROOT", "/tmp/fake-dev", 1), 0);
    EXPECT_TRUE(FindUSBPort(port, sizeof port));
    EXPECT_STREQ(port, "/tmp/fake-dev/ttyACM3");
    unsetenv("KIVRO_DEV_ROOT");
    EXPECT_TRUE(FindUSBPort(port, sizeof port));
    EXPECT_STREQ(port, "ttyACM3");
    unsetenv("KIVRO_SYSFS_ROOT");
    SysfsRoots defaults = SysfsRootsFromEnvironment();
    EXPECT_STREQ(defaults.sys, "/sys");
    EXPECT_EQ(defaults.dev, nullptr);
}

}  // namespace
}  // namespace kivro

#endif  // _WIN32
