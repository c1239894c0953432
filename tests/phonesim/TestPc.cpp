// The test peers of TestPc.h: process control, frame I/O over the pty, and the
// link-carried RFB viewer.
#include "TestPc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kivro::phonesim_test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TempDir::TempDir() {
    char name[] = "/tmp/phonesim-test-XXXXXX";
    if (mkdtemp(name)) path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

bool WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

bool ReadFile(const std::string& path, Bytes& data) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes b(size);
    for (auto& x : b) {
        seed = seed * 1103515245 + 12345;
        x = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

PhoneSimProcess::PhoneSimProcess(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::string program = KIVRO_BINARY_DIR "/tools/phone-sim/phone-sim";
    std::vector<char*> argv{program.data()};
    std::vector<std::string> copy = args;
    if (const char* v = std::getenv("PHONESIM_VERBOSE")) copy.insert(copy.begin(), v);
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    // The first line names the pty; anything else (or nothing within 10 s) is a failure.
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (char c = 0; c != '\n';) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) != 1 || read(out[0], &c, 1) != 1) break;
        if (c != '\n') line += c;
    }
    stdout_ = out[0];
    if (line.rfind("PTY /", 0) == 0) ptyPath_ = line.substr(4);
}

PhoneSimProcess::~PhoneSimProcess() {
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
}

bool PhoneSimProcess::WaitLine(const std::string& expected) {
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (char c = 0;;) {
        pollfd p{stdout_, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) != 1 || read(stdout_, &c, 1) != 1) return false;
        if (c != '\n') {
            line += c;
        } else if (line == expected) {
            return true;
        } else {
            line.clear();
        }
    }
}

bool PhoneSimProcess::Command(const std::string& line) {
    std::string text = line + "\n";
    return write(stdin_, text.data(), text.size()) == ssize_t(text.size()) &&
           WaitLine("ok " + line);
}

bool PhoneSimProcess::ArmBySignal() {
    return kill(pid_, SIGUSR1) == 0 && WaitLine("ok SIGUSR1");
}

TestPc::TestPc(const std::string& ptyPath) {
    // No flush: the pty is fresh, and the hello may already wait in it.
    fd_ = open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t;
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
}

TestPc::~TestPc() {
    if (fd_ >= 0) close(fd_);
}

bool TestPc::ReadExact(uint8_t* out, size_t count, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (count > 0) {
        ssize_t n = read(fd_, out, count);
        if (n > 0) {
            out += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) == 0) return false;
    }
    return true;
}

bool TestPc::Quiet(int ms) {
    uint8_t b;
    return !ReadExact(&b, 1, ms);
}

bool TestPc::ReadHello(int timeoutMs, size_t* skipped) {
    // A byte-wise search through an 8-byte window, as the PC does.
    uint8_t window[8] = {};
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t count = 0;; ++count) {
        std::memmove(window, window + 1, 7);
        if (!ReadExact(&window[7], 1, MsLeft(deadline))) return false;
        if (count >= 7 && std::memcmp(window, kUsbHello, 8) == 0) {
            if (skipped) *skipped = count - 7;
            return true;
        }
    }
}

bool TestPc::Send(uint8_t type, const Bytes& payload) {
    Bytes frame{type, static_cast<uint8_t>(payload.size() >> 8),
                static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint8_t* p = frame.data();
    size_t left = frame.size();
    while (left > 0) {
        ssize_t n = write(fd_, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd pf{fd_, POLLOUT, 0};
            poll(&pf, 1, 1000);
        } else {
            return false;
        }
    }
    return true;
}

bool TestPc::Receive(Reply& reply, int timeoutMs) {
    uint8_t header[3];
    if (!ReadExact(header, 3, timeoutMs)) return false;
    reply.type = header[0];
    reply.length = static_cast<uint16_t>(header[1] << 8 | header[2]);
    if (reply.length > kLinkMaxPayload) return false;
    reply.payload.resize(reply.length);
    return ReadExact(reply.payload.data(), reply.length, timeoutMs);
}

bool LinkViewer::Take(const Reply& reply) {
    if (reply.type == LINK_DATA)
        stream_.insert(stream_.end(), reply.payload.begin(), reply.payload.end());
    else
        others_.push_back(reply.type);
    return true;
}

bool LinkViewer::Connect() {
    Reply r;
    return pc_.Exchange(LINK_CLIENT_CONNECTED, {}, r) && Take(r);
}

bool LinkViewer::Write(const Bytes& data) {
    Reply r;
    return pc_.Exchange(LINK_DATA, data, r) && Take(r);
}

bool LinkViewer::Read(size_t count, Bytes& out, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (stream_.size() < count) {
        Reply r;
        if (Clock::now() > deadline || !pc_.Exchange(LINK_DATA, {}, r)) return false;
        Take(r);
        if (r.type == LINK_DATA && r.length == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out.assign(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(count));
    stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(count));
    return true;
}

}  // namespace kivro::phonesim_test
