// Port discovery on Linux: the tty class directory of sysfs names every serial
// tty the kernel has. An RFCOMM tty exists there only while it is bound to a
// remote device; a CDC-ACM tty is told from other ttyACM names by its device's
// driver link. Nothing is opened: opening an RFCOMM tty starts a connection and
// may block for seconds. std::filesystem keeps POSIX headers out of the core;
// its allocations are harmless at the engine's rate of at most a few calls a
// second while a port is closed.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "ports/PortFinder.h"
#include "text/Text.h"

namespace kivro {

namespace fs = std::filesystem;

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

bool IsBoundRfcomm(const fs::path& tty) {
    std::error_code ec;
    return fs::is_directory(tty, ec);
}

bool IsCdcAcm(const fs::path& tty) {
    std::error_code ec;
    fs::path driver = fs::read_symlink(tty / "device" / "driver", ec);
    return !ec && driver.filename() == "cdc_acm";
}

// The lowest-numbered tty of the class directory that has the prefix and passes
// accept; sysfs lists in no particular order.
bool LowestTty(const SysfsRoots& roots, std::string_view prefix, bool (*accept)(const fs::path&),
               char* portName, size_t capacity) {
    std::error_code ec;
    fs::directory_iterator entries(fs::path(roots.sys) / "class" / "tty", ec);
    bool found = false;
    uint32_t best = 0;
    std::string bestName;
    for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
        std::string name = entries->path().filename().string();
        uint32_t number = 0;
        if (!TtyNumber(name, prefix, number) || (found && number >= best)) continue;
        if (!accept(entries->path())) continue;
        found = true;
        best = number;
        bestName = std::move(name);
    }
    if (!found) return false;
    if (roots.dev != nullptr) {
        std::string path = roots.dev;
        if (path.empty() || path.back() != '/') path += '/';
        bestName = path + bestName;
    }
    TextCopy(portName, capacity, bestName.c_str());
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
