// The shared rig of the fault and soak tests (see Rig.h).
#include "Rig.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace kivro::test {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void ExpectOnlyErrors(const std::string& err, const std::string& allowed) {
    const std::regex pattern("KivroProxy: (" + allowed + ")");
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        // valgrind's notes ("==pid== ..."); its errors show in the exit status.
        if (line.rfind("==", 0) == 0) continue;
        EXPECT_TRUE(std::regex_match(line, pattern)) << "unexpected: " << line;
    }
}

// ---- Viewer

bool Viewer::ReadExact(void* data, size_t count, int timeoutMs) {
    char* p = static_cast<char*>(data);
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return false;
        int n = Receive(p, count, static_cast<int>(left.count()));
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

bool Viewer::Handshake(int timeoutMs, int& width, int& height) {
    char version[12];
    if (!ReadExact(version, 12, timeoutMs) || std::memcmp(version, "RFB 003.008\n", 12) != 0)
        return false;
    if (!SendAll("RFB 003.008\n", 12)) return false;
    uint8_t count = 0;
    if (!ReadExact(&count, 1, timeoutMs) || count == 0) return false;
    std::vector<uint8_t> types(count);
    if (!ReadExact(types.data(), count, timeoutMs)) return false;
    const uint8_t none = 1;
    uint8_t result[4];
    if (!SendAll(&none, 1) || !ReadExact(result, 4, timeoutMs) || Get32(result) != 0) return false;
    const uint8_t shared = 1;
    uint8_t init[24];
    if (!SendAll(&shared, 1) || !ReadExact(init, 24, timeoutMs)) return false;
    std::vector<uint8_t> name(Get32(init + 20));
    if (!name.empty() && !ReadExact(name.data(), name.size(), timeoutMs)) return false;
    width = Get16(init);
    height = Get16(init + 2);
    return init[4] == 32;  // 32 bits per pixel, the format ReadUpdate expects
}

bool Viewer::RequestUpdate(int x, int y, int w, int h) {
    const uint8_t request[10] = {3,
                                 0,
                                 uint8_t(x >> 8),
                                 uint8_t(x),
                                 uint8_t(y >> 8),
                                 uint8_t(y),
                                 uint8_t(w >> 8),
                                 uint8_t(w),
                                 uint8_t(h >> 8),
                                 uint8_t(h)};
    return SendAll(request, sizeof request);
}

bool Viewer::ReadUpdate(int timeoutMs, std::vector<uint8_t>& pixels) {
    uint8_t header[4];
    if (!ReadExact(header, 4, timeoutMs) || header[0] != 0) return false;
    pixels.clear();
    for (int rect = Get16(header + 2); rect > 0; --rect) {
        uint8_t r[12];
        if (!ReadExact(r, 12, timeoutMs) || Get32(r + 8) != 0) return false;
        size_t bytes = size_t(Get16(r + 4)) * Get16(r + 6) * 4;
        size_t at = pixels.size();
        pixels.resize(at + bytes);
        if (!ReadExact(pixels.data() + at, bytes, timeoutMs)) return false;
    }
    return true;
}

// ---- PhoneSim

PhoneSim::PhoneSim(std::vector<std::string> args) {
    args.insert(args.begin(), {kPhoneSimPath, "--usb"});
    child_ = std::make_unique<Child>(args);
    if (!child_->Started() || !child_->WaitFor("\n", 10000)) return;
    std::istringstream line(child_->Out());
    std::string word, path;
    line >> word >> path;
    if (word == "PTY") pty_ = path;
}

void PhoneSim::Unplug() {
    child_->Signal(SIGKILL);
    child_->Wait(5000);
}

bool PhoneSim::Arm() {
    child_->Signal(SIGUSR1);
    const auto end = Clock::now() + std::chrono::milliseconds(5000);
    for (;;) {
        size_t seen = 0;
        for (size_t at = 0; (at = child_->Out().find("ok SIGUSR1\n", at)) != std::string::npos;
             ++at)
            ++seen;
        if (seen > armed_) {
            armed_ = seen;
            return true;
        }
        if (Clock::now() > end || !child_->Pump(20)) return false;
    }
}

// ---- ProxyRig

ProxyRig::ProxyRig() {
    char pattern[] = "/tmp/kivro-faults-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    port_ = FreePort();
}

ProxyRig::~ProxyRig() {
    proxy_.reset();
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

bool ProxyRig::PointUsbAt(const std::string& target) {
    const fs::path fresh = dir_ / "usb.new";
    std::error_code error;
    fs::remove(fresh, error);
    fs::create_symlink(target, fresh, error);
    if (error) return false;
    fs::rename(fresh, UsbLink(), error);
    return !error;
}

void ProxyRig::WriteSettings(const std::string& extraLines) {
    fs::create_directories(SettingsFile().parent_path());
    std::ofstream(SettingsFile(), std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\r\n"
        << "\"BTComAuto\"=dword:00000000\r\n\"BTComPort\"=\"" << (dir_ / "no-bt").string()
        << "\"\r\n"
        << "\"USBComAuto\"=dword:00000000\r\n\"USBComPort\"=\"" << UsbLink().string() << "\"\r\n"
        << extraLines;
}

bool ProxyRig::Start(std::vector<std::string> options, std::vector<std::string> prefix,
                     bool portOption) {
    if (!fs::exists(SettingsFile())) WriteSettings();
    std::vector<std::string> argv = std::move(prefix);
    argv.push_back(kProxyPath);
    if (portOption) argv.push_back("--port=" + std::to_string(port_));
    argv.insert(argv.end(), options.begin(), options.end());
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                          "HOME=" + dir_.string()};
    proxy_ = std::make_unique<Child>(argv, env);
    cursor_ = 0;
    return proxy_->Started();
}

bool ProxyRig::Next(const std::string& text, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t at = proxy_->Out().find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        if (Clock::now() > end || !proxy_->Pump(50)) break;
    }
    size_t at = proxy_->Out().find(text, cursor_);
    if (at == std::string::npos) return false;
    cursor_ = at + text.size();
    return true;
}

// ---- /proc

size_t OpenFdCount(pid_t pid) {
    size_t n = 0;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++n;
    return n;
}

size_t ResidentKb(pid_t pid) {
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    return 0;
}

}  // namespace kivro::test
