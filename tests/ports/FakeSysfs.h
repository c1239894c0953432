// A fake sysfs tree laid out as the kernel lays it out (class/tty entries link
// into devices/; a CDC-ACM tty's device is its USB interface, whose driver link
// names the driver), with a dev folder beside it. Any test that needs the Linux
// discovery to find a port includes this as "ports/FakeSysfs.h": add the ttys,
// link the dev name to a pty, and Activate() points FindBTPort/FindUSBPort here
// through KIVRO_SYSFS_ROOT and KIVRO_DEV_ROOT until the tree is destroyed.
#pragma once

#ifndef _WIN32

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kivro::test {

class FakeSysfs {
  public:
    explicit FakeSysfs(const std::string& name)
        : base_(std::filesystem::path(testing::TempDir()) /
                ("kivro-sysfs-" + name + "-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(base_);
        std::filesystem::create_directories(base_ / "sys");
        std::filesystem::create_directories(base_ / "dev");
    }
    ~FakeSysfs() {
        if (active_) {
            unsetenv("KIVRO_SYSFS_ROOT");
            unsetenv("KIVRO_DEV_ROOT");
        }
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    std::string SysRoot() const { return (base_ / "sys").string(); }
    std::string DevRoot() const { return (base_ / "dev").string(); }

    // A tty with no hardware behind it (rfcommN, ttySn, consoles).
    void AddVirtualTty(const std::string& name) {
        std::filesystem::path device = Sys() / "devices/virtual/tty" / name;
        std::filesystem::create_directories(device);
        ClassLink(device, name);
    }
    // A tty on its own USB interface, bound to driver (empty: no driver).
    void AddUsbTty(const std::string& name, const std::string& driver) {
        std::filesystem::path interface = Sys() / "devices/pci0000:00/usb1/1-1" / ("1-1:1." + name);
        std::filesystem::path device = interface / "tty" / name;
        std::filesystem::create_directories(device);
        std::filesystem::create_directory_symlink("../../../" + interface.filename().string(),
                                                  device / "device");
        if (!driver.empty()) {
            std::filesystem::create_directories(Sys() / "bus/usb/drivers" / driver);
            std::filesystem::create_directory_symlink("../../../../../bus/usb/drivers/" + driver,
                                                      interface / "driver");
        }
        ClassLink(device, name);
    }
    // dev/name as a link to a real tty, typically a pty's slave path.
    void LinkDevice(const std::string& name, const std::string& target) {
        std::filesystem::create_symlink(target, base_ / "dev" / name);
    }
    // From now until destruction the system's discovery looks here.
    void Activate() {
        setenv("KIVRO_SYSFS_ROOT", SysRoot().c_str(), 1);
        setenv("KIVRO_DEV_ROOT", DevRoot().c_str(), 1);
        active_ = true;
    }

  private:
    std::filesystem::path Sys() const { return base_ / "sys"; }
    void ClassLink(const std::filesystem::path& device, const std::string& name) {
        std::filesystem::path classDir = Sys() / "class/tty";
        std::filesystem::create_directories(classDir);
        std::filesystem::create_directory_symlink(std::filesystem::relative(device, classDir),
                                                  classDir / name);
    }

    std::filesystem::path base_;
    bool active_ = false;
};

}  // namespace kivro::test

#endif  // _WIN32
