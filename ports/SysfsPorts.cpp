// Port discovery on Linux: the tty class folder of sysfs names every serial
// tty the kernel has. An RFCOMM tty is listed there as a folder only while it
// is bound to a remote device; a CDC-ACM tty is told from other ttyACM names by
// its device's driver link, which leads to the cdc_acm driver's own folder.
// Nothing is opened: opening an RFCOMM tty starts a connection and may block
// for seconds. The search runs once a second while a port is closed, so it
// allocates nothing: fixed path buffers, and a listing that reads the names
// into a buffer of its own.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/DirNames.h"
#include "platform/Files.h"
#include "ports/PortFinder.h"
#include "text/Text.h"

namespace kivro {

namespace {

// The number of a tty called prefix + decimal digits; false for other names.
bool TtyNumber(std::string_view name, std::string_view prefix, uint32_t& number) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
    std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 9) return false;  // beyond any kernel's minor numbers; keeps 32 bits
    number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    return true;
}

// A path that does not fit is never cut: it would name some other file.
struct Path {
    char text[kPathCapacity];
};

bool IsBoundRfcomm(const SysfsRoots&, const Path& tty) {
    return platform::DirectoryExists(tty.text).Ok();
}

bool IsCdcAcm(const SysfsRoots& roots, const Path& tty) {
    Path driver;
    Path cdcAcm;
    return platform::JoinPath(driver.text, sizeof driver.text, tty.text, "device/driver") &&
           platform::JoinPath(cdcAcm.text, sizeof cdcAcm.text, roots.sys,
                              "bus/usb/drivers/cdc_acm") &&
           platform::SameFolder(driver.text, cdcAcm.text);
}

// The lowest-numbered tty of the class folder that has the prefix and passes
// accept; sysfs lists in no particular order.
bool LowestTty(const SysfsRoots& roots, std::string_view prefix,
               bool (*accept)(const SysfsRoots&, const Path&), char* portName, size_t capacity) {
    Path classDir;
    platform::DirNames names;
    if (!platform::JoinPath(classDir.text, sizeof classDir.text, roots.sys, "class/tty") ||
        names.Open(classDir.text).Failed())
        return false;
    bool found = false;
    uint32_t best = 0;
    char bestName[kPathCapacity] = {};
    while (const char* name = names.Next()) {
        uint32_t number = 0;
        if (!TtyNumber(name, prefix, number) || (found && number >= best)) continue;
        Path tty;
        if (!platform::JoinPath(tty.text, sizeof tty.text, classDir.text, name) ||
            !accept(roots, tty))
            continue;
        found = true;
        best = number;
        TextCopy(bestName, sizeof bestName, name);
    }
    if (!found) return false;
    Path result;
    if (roots.dev == nullptr)
        TextCopy(result.text, bestName);
    else if (!platform::JoinPath(result.text, sizeof result.text, roots.dev, bestName))
        return false;
    if (TextLength(result.text) >= capacity) return false;
    TextCopy(portName, capacity, result.text);
    return true;
}

const char* EnvironmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

}  // namespace

SysfsRoots SysfsRootsFromEnvironment() {
    SysfsRoots roots;
    roots.sys = EnvironmentOr("KIVRO_SYSFS_ROOT", roots.sys);
    roots.dev = EnvironmentOr("KIVRO_DEV_ROOT", roots.dev);
    return roots;
}

bool FindRfcommPort(const SysfsRoots& roots, char* portName, size_t capacity) {
    return LowestTty(roots, "rfcomm", IsBoundRfcomm, portName, capacity);
}

bool FindCdcAcmPort(const SysfsRoots& roots, char* portName, size_t capacity) {
    return LowestTty(roots, "ttyACM", IsCdcAcm, portName, capacity);
}

}  // namespace kivro
