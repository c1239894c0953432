// Serial line handling for phone-sim: pty creation, raw mode, framing, pacing.
#include "SerialLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "Log.h"

namespace kivro::phonesim {
namespace {

bool MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

SerialLink::~SerialLink() {
    if (watch_ >= 0) close(watch_);
    if (heldSlave_ >= 0) close(heldSlave_);
    if (fd_ >= 0) close(fd_);
}

bool SerialLink::OpenPty(std::string& path) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
        Log(0, "cannot make a pty pair: %s", std::strerror(errno));
        return false;
    }
    char name[128];
    if (ptsname_r(fd_, name, sizeof name) != 0) {
        Log(0, "cannot name the pty: %s", std::strerror(errno));
        return false;
    }
    heldSlave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (heldSlave_ < 0 || !MakeRaw(heldSlave_)) {
        Log(0, "cannot set up %s: %s", name, std::strerror(errno));
        return false;
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || inotify_add_watch(watch_, name, IN_OPEN) < 0) {
        Log(0, "cannot watch %s: %s", name, std::strerror(errno));
        return false;
    }
    path = name;
    Flush();
    return true;
}

bool SerialLink::OpenDevice(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        Log(0, "cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (!MakeRaw(fd_)) {
        Log(0, "cannot set %s to raw mode: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    Flush();
    return true;
}

void SerialLink::Flush() {
    tcflush(fd_, TCIOFLUSH);
    // On a pty what the PC has not read yet may wait in the slave's input
    // queue, which only a flush through the slave reaches (bytes still in the
    // kernel's hand-over buffer survive even that: a PC must search for the
    // hello byte by byte, as the real one does). Bytes already in the master's
    // read queue are drained by hand.
    if (heldSlave_ >= 0) tcflush(heldSlave_, TCIFLUSH);
    uint8_t scratch[4096];
    while (read(fd_, scratch, sizeof scratch) > 0) {
    }
    in_.clear();
}

int SerialLink::TakeOpens() {
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(watch_, buffer, sizeof buffer)) > 0;)
        for (char* p = buffer; p < buffer + n;) {
            auto* e = reinterpret_cast<inotify_event*>(p);
            if (e->mask & IN_OPEN) ++opens;
            p += sizeof(inotify_event) + e->len;
        }
    return opens;
}

void SerialLink::SetModemLines(bool on) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &lines) != 0)
        Log(1, "no modem lines on this device (%s)", std::strerror(errno));
}

void SerialLink::SetPace(uint32_t bytesPerSecond, uint32_t latencyMs) {
    bytesPerSecond_ = bytesPerSecond;
    latency_ = std::chrono::milliseconds(latencyMs);
    // The last sleep before an answer is not made up by any later deadline, and
    // the default timer slack lets it wake up to 50 us late, 1 % of an
    // exchange on a fast link.
    if (bytesPerSecond != 0 || latencyMs != 0) prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

void SerialLink::Received(size_t count) {
    if (bytesPerSecond_ == 0 && latency_.count() == 0) return;
    // The request was on the line from its first byte's arrival, and not before
    // the line had carried the last answer.
    if (paceFree_ < frameStart_) paceFree_ = frameStart_;
    if (bytesPerSecond_ != 0)
        paceFree_ += std::chrono::microseconds(count * 1000000ull / bytesPerSecond_);
    paceFree_ += latency_;
    answering_ = true;
    std::this_thread::sleep_until(paceFree_);
}

void SerialLink::Pace(size_t count) {
    auto now = std::chrono::steady_clock::now();
    // Bytes sent of the phone's own accord start when the line is idle.
    if (!answering_ && paceFree_ < now) paceFree_ = now;
    paceFree_ += std::chrono::microseconds(count * 1000000ull / bytesPerSecond_);
    std::this_thread::sleep_until(paceFree_);
}

bool SerialLink::Write(const uint8_t* data, size_t count) {
    if (bytesPerSecond_ == 0) return WriteAll(data, count);
    // Small pieces, each after its share of time, so the line looks slow to
    // the PC byte by byte and not as bursts after long pauses.
    size_t piece = std::max<size_t>(1, bytesPerSecond_ / 100);
    bool ok = true;
    for (size_t done = 0; ok && done < count;) {
        size_t n = std::min(piece, count - done);
        Pace(n);
        ok = WriteAll(data + done, n);
        done += n;
    }
    answering_ = false;
    return ok;
}

bool SerialLink::WriteAll(const uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd_, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 1000);
        } else {
            Log(0, "write to the serial line failed: %s", std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool SerialLink::ReadAvailable() {
    uint8_t buffer[8192];
    for (;;) {
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            if (in_.empty()) frameStart_ = std::chrono::steady_clock::now();
            in_.insert(in_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        Log(0, "the serial line is gone: %s", n == 0 ? "end of file" : std::strerror(errno));
        return false;
    }
}

SerialLink::Next SerialLink::NextFrame(Frame& frame) {
    if (in_.size() < kLinkHeaderSize) return Next::None;
    uint32_t length = GetBigEndian(in_.data(), 1, 2);
    if (length > kLinkMaxPayload) {
        frame.type = in_[0];
        frame.length = static_cast<uint16_t>(length);
        in_.clear();
        return Next::TooLong;
    }
    if (in_.size() < kLinkHeaderSize + length) return Next::None;
    frame.type = in_[0];
    frame.length = static_cast<uint16_t>(length);
    std::memcpy(frame.payload, in_.data() + kLinkHeaderSize, length);
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(kLinkHeaderSize + length));
    return Next::Frame;
}

}  // namespace kivro::phonesim
