// Back-to-back Wine COM ports over socat (see WineComPort.h).
#ifdef _WIN32

#include "link/WineComPort.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace kivro::test {

namespace {

// Runs a Unix shell command line from inside Wine; does not wait.
bool RunUnix(const char* script) {
    char command[2048];
    std::snprintf(command, sizeof command, "/bin/sh -c \"%s\"", script);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

bool CanOpen(const char* name) {
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

}  // namespace

bool WineComPair::Create() {
    const char* prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    char dosdevices[260];
    if (prefix != nullptr && prefix[0] != '\0')
        std::snprintf(dosdevices, sizeof dosdevices, "%s/dosdevices", prefix);
    else if (home != nullptr)
        std::snprintf(dosdevices, sizeof dosdevices, "%s/.wine/dosdevices", home);
    else
        return false;
    // Port numbers per process and pair, so runs side by side do not meet and a
    // pair being torn down does not meet the next one.
    static unsigned pairs = 0;
    unsigned base = 20 + (GetCurrentProcessId() % 38) * 6 + 2 * (pairs++ % 3);
    std::snprintf(first_, sizeof first_, "COM%u", base);
    std::snprintf(second_, sizeof second_, "COM%u", base + 1);
    std::snprintf(links_[0], sizeof links_[0], "%s/com%u", dosdevices, base);
    std::snprintf(links_[1], sizeof links_[1], "%s/com%u", dosdevices, base + 1);
    std::snprintf(pidFile_, sizeof pidFile_, "/tmp/kivro-socat-%u.pid", base);

    char script[1800];
    std::snprintf(script, sizeof script,
                  "rm -f %s %s; socat PTY,link=%s,rawer PTY,link=%s,rawer & echo $! > %s",
                  links_[0], links_[1], links_[0], links_[1], pidFile_);
    if (!RunUnix(script)) return false;
    started_ = true;
    for (int i = 0; i < 100; ++i) {
        if (CanOpen(first_) && CanOpen(second_)) return true;
        Sleep(50);
    }
    return false;
}

// Runs `step` (a shell command on the engine side's state file $f, whose name
// the shell takes from the pty behind the port) and returns once it has run:
// the shell reports back through a mark that this side sees on drive Z:,
// Wine's view of the Unix root. Wine gives no exit status of a Unix process.
bool WineComPair::ChangeEngineState(const char* suffix, const char* step) {
    const char* dir = std::getenv("KIVRO_MODEM_DIR");
    if (dir == nullptr || dir[0] == '\0') return false;
    char mark[400], markDos[400];
    std::snprintf(mark, sizeof mark, "%s/step-done", dir);
    std::snprintf(markDos, sizeof markDos, "Z:%s", mark);
    for (char* c = markDos; *c != '\0'; ++c)
        if (*c == '/') *c = '\\';
    DeleteFileA(markDos);
    char script[1400];
    std::snprintf(script, sizeof script, "f=%s/$(readlink %s | tr / _)%s && %s && touch %s", dir,
                  links_[0], suffix, step, mark);
    if (!RunUnix(script)) return false;
    for (int i = 0; i < 250; ++i) {
        if (GetFileAttributesA(markDos) != INVALID_FILE_ATTRIBUTES) return DeleteFileA(markDos);
        Sleep(20);
    }
    return false;
}

bool WineComPair::SetEngineLines(int bits) {
    char step[64];
    std::snprintf(step, sizeof step, "echo %d > $f.new && mv $f.new $f", bits);
    return ChangeEngineState("", step);
}

bool WineComPair::FailOneEngineReadAfter(int bytes) {
    char step[64];
    std::snprintf(step, sizeof step, "echo %d > $f.new && mv $f.new $f", bytes);
    return ChangeEngineState(".once", step);
}

WineComPair::~WineComPair() {
    if (!started_) return;
    char script[1200];
    std::snprintf(script, sizeof script, "kill $(cat %s) 2>/dev/null; rm -f %s %s %s", pidFile_,
                  pidFile_, links_[0], links_[1]);
    RunUnix(script);
    for (int i = 0; i < 40 && CanOpen(first_); ++i) Sleep(50);
}

ComChannel::~ComChannel() {
    if (handle_ != nullptr) CloseHandle(handle_);
}

bool ComChannel::Open(const char* name) {
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = h;
    // Interval time-out MAXDWORD with no totals: a read returns at once.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    return SetCommTimeouts(h, &timeouts) != FALSE;
}

bool ComChannel::Write(const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        DWORD done = 0;
        if (!WriteFile(handle_, p, static_cast<DWORD>(count), &done, nullptr)) return false;
        p += done;
        count -= done;
    }
    return true;
}

size_t ComChannel::ReadSome(void* data, size_t capacity, int timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD done = 0;
        if (!ReadFile(handle_, data, static_cast<DWORD>(capacity), &done, nullptr)) return 0;
        if (done > 0) return done;
        if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) return 0;
        Sleep(1);
    }
}

}  // namespace kivro::test

#endif
