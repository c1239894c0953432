// The rig the fault and soak tests share: the real kivroproxy with a private
// settings folder, phone-sim on a pty pair reached through a symlink (so the
// phone can be unplugged, by killing phone-sim, and plugged in again, by
// pointing the link at a new pty, while kivroproxy keeps its configured name),
// and a small RFB viewer speaking to phone-sim's built-in screen through the
// proxy. Everything is a real process, socket or pty; nothing is scripted.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "console/Child.h"
#include "engine/EngineTestSupport.h"

namespace kivro::test {

namespace fs = std::filesystem;

const std::string kProxyPath = KIVRO_BINARY_DIR "/app/kivroproxy";
const std::string kPhoneSimPath = KIVRO_BINARY_DIR "/tools/phone-sim/phone-sim";

// An RFB viewer on the engine tests' TCP peer. Every call is bounded by its time-out.
class Viewer : public Peer {
  public:
    bool ReadExact(void* data, size_t count, int timeoutMs);
    // RFB 3.8 with security None up to ServerInit; the screen's size out.
    bool Handshake(int timeoutMs, int& width, int& height);
    // A non-incremental update of the rectangle and its raw 32-bit pixels.
    bool RequestUpdate(int x, int y, int w, int h);
    bool ReadUpdate(int timeoutMs, std::vector<uint8_t>& pixels);
};

// phone-sim on a pty pair of its own, USB mode, built-in screen unless args
// say otherwise.
class PhoneSim {
  public:
    explicit PhoneSim(std::vector<std::string> args = {});
    bool Started() const { return !pty_.empty(); }
    const std::string& Pty() const { return pty_; }
    Child& Process() { return *child_; }
    // The phone is unplugged: the process dies at once, the pty with it.
    void Unplug();
    // Arms the "--fault ACTION@signal" faults (phone-sim started with
    // --control, which acknowledges the signal) for its next reply.
    bool Arm();

  private:
    std::unique_ptr<Child> child_;
    std::string pty_;
    size_t armed_ = 0;
};

// kivroproxy in a temporary folder: settings.reg there, the USB port a symlink
// "usb" there that tests point at a pty, Bluetooth at a path that never exists.
class ProxyRig {
  public:
    ProxyRig();
    ~ProxyRig();
    const fs::path& Dir() const { return dir_; }
    fs::path SettingsFile() const { return dir_ / "config" / "kivroproxy" / "settings.reg"; }
    fs::path UsbLink() const { return dir_ / "usb"; }
    uint16_t Port() const { return port_; }

    // Re-points the USB link atomically (a new link renamed over the old one).
    bool PointUsbAt(const std::string& target);
    // The settings file the rig starts with; extraLines go into our key.
    void WriteSettings(const std::string& extraLines = "");
    // Starts kivroproxy with the port (unless portOption is false: the file's
    // then) and any further options; prefix (a wrapper such as valgrind or a
    // shell setting a limit) goes before it.
    bool Start(std::vector<std::string> options = {}, std::vector<std::string> prefix = {},
               bool portOption = true);
    Child& Proxy() { return *proxy_; }
    pid_t Pid() const { return proxy_->Pid(); }

    // Waits for the next occurrence of text in standard output after the one
    // found last, and moves past it; sequences of log entries are checked in
    // order this way without rescanning the whole log.
    bool Next(const std::string& text, int timeoutMs = 15000);
    size_t Cursor() const { return cursor_; }

  private:
    fs::path dir_;
    uint16_t port_ = 0;
    std::unique_ptr<Child> proxy_;
    size_t cursor_ = 0;
};

// What /proc says about a process: open descriptors and resident size.
size_t OpenFdCount(pid_t pid);
size_t ResidentKb(pid_t pid);

std::string ReadFile(const fs::path& path);

// Every line on standard error is "KivroProxy: " and one of the allowed
// messages (a regular expression); valgrind's lines are passed over.
void ExpectOnlyErrors(const std::string& err, const std::string& allowed);
// What a vanished pty gives the engine: its read or write fails with EIO.
inline const char kLinkLost[] =
    "Error (sending to|receiving from) server: Input/output error \\(5\\)";

}  // namespace kivro::test
