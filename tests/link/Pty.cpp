// Pty pair and modem-state fixtures (see Pty.h).
#ifndef _WIN32

#include "link/Pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kivro::test {

namespace {
long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
}  // namespace

PtyPair::~PtyPair() {
    if (master_ >= 0) close(master_);
}

bool PtyPair::Open(bool rawSlave) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, slave_, sizeof slave_) != 0)
        return false;
    // Terminal settings made through the master apply to the slave.
    termios tio;
    if (rawSlave && tcgetattr(master_, &tio) == 0) {
        cfmakeraw(&tio);
        if (tcsetattr(master_, TCSANOW, &tio) != 0) return false;
    }
    tcflush(master_, TCIOFLUSH);
    return true;
}

bool PtyPair::Write(const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    long long deadline = NowMs() + 5000;
    while (count > 0) {
        ssize_t n = write(master_, p, count);
        if (n > 0) {
            p += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            if (NowMs() > deadline) return false;
            pollfd pfd{master_, POLLOUT, 0};
            poll(&pfd, 1, 10);
        }
    }
    return true;
}

size_t PtyPair::ReadSome(void* data, size_t capacity, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        ssize_t n = read(master_, data, capacity);
        if (n > 0) return static_cast<size_t>(n);
        long long left = deadline - NowMs();
        if (left <= 0) return 0;
        pollfd pfd{master_, POLLIN, 0};
        // With the slave closed the master reports a hang-up at once: pause then.
        if (poll(&pfd, 1, static_cast<int>(left)) > 0 && !(pfd.revents & POLLIN)) usleep(5000);
    }
}

bool PtyPair::ReadExact(void* data, size_t count, int timeoutMs) {
    char* p = static_cast<char*>(data);
    long long deadline = NowMs() + timeoutMs;
    while (count > 0) {
        long long left = deadline - NowMs();
        if (left <= 0) return false;
        size_t n = ReadSome(p, count, static_cast<int>(left));
        p += n;
        count -= n;
    }
    return true;
}

ModemLines::ModemLines() {
    char templ[] = "/tmp/kivro-modem-XXXXXX";
    if (mkdtemp(templ) != nullptr) dir_ = templ;
    setenv("KIVRO_MODEM_DIR", dir_.c_str(), 1);
}

ModemLines::~ModemLines() {
    unsetenv("KIVRO_MODEM_DIR");
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::string ModemLines::FileFor(const char* path) const {
    std::string name = path;
    for (char& c : name)
        if (c == '/') c = '_';
    return dir_ + "/" + name;
}

void ModemLines::Write(const std::string& file, int value) {
    std::string temp = file + ".new";
    if (FILE* f = std::fopen(temp.c_str(), "w")) {
        std::fprintf(f, "%d", value);
        std::fclose(f);
        std::rename(temp.c_str(), file.c_str());
    }
}

void ModemLines::Set(const char* path, int bits) {
    Write(FileFor(path), bits);
}

void ModemLines::FailReadsAfter(const char* path, int bytes) {
    Write(FileFor(path) + ".budget", bytes);
}

void ModemLines::FailOneReadAfter(const char* path, int bytes) {
    Write(FileFor(path) + ".once", bytes);
}

void ModemLines::SetRfcomm(bool on) {
    if (on)
        Write(dir_ + "/rfcomm", 1);
    else
        std::remove((dir_ + "/rfcomm").c_str());
}

void ModemLines::CountReads(const char* path) {
    Write(FileFor(path) + ".gets", 0);
}

void ModemLines::StallWaits(const char* path, int ms) {
    Write(FileFor(path) + ".stall", ms);
}

int ModemLines::Reads(const char* path) const {
    int reads = -1;
    if (FILE* f = std::fopen((FileFor(path) + ".gets").c_str(), "r")) {
        if (std::fscanf(f, "%d", &reads) != 1) reads = -1;
        std::fclose(f);
    }
    return reads;
}

void ModemLines::Remove(const char* path) {
    std::remove(FileFor(path).c_str());
}

}  // namespace kivro::test

#endif
