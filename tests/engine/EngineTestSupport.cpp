// Implementation of the shared engine-test helpers: Winsock set-up for the
// Windows build, the recording sink and the blocking loopback peer.
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kivro::test {

#ifdef _WIN32
namespace {
// The front end starts Winsock 1.1 at launch; the tests do the same once.
class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};
const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

using Native = SOCKET;
Native ToNative(intptr_t fd) { return static_cast<SOCKET>(fd); }
void CloseNative(intptr_t fd) { closesocket(ToNative(fd)); }
}  // namespace
#else
namespace {
using Native = int;
Native ToNative(intptr_t fd) { return static_cast<int>(fd); }
void CloseNative(intptr_t fd) { close(ToNative(fd)); }
}  // namespace
#endif

// ---- RecordingSink

void RecordingSink::Post(const EngineEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    changed_.notify_all();
    if (hook) hook(event);
}

std::vector<EngineEvent> RecordingSink::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

size_t RecordingSink::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

int RecordingSink::WaitFor(const std::function<bool(const EngineEvent&)>& pred, int timeoutMs,
                           size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    auto check = [&] {
        for (size_t i = from; i < events_.size(); ++i)
            if (pred(events_[i])) {
                found = static_cast<int>(i);
                return true;
            }
        return false;
    };
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), check);
    return found;
}

int RecordingSink::WaitForCode(EventCode code, uint32_t value, int timeoutMs, size_t from) {
    return WaitFor([&](const EngineEvent& e) { return e.Code == code && e.Value == value; },
                   timeoutMs, from);
}

std::string Describe(const EngineEvent& event) {
    std::string s = "{" + std::to_string(event.Code) + "," + std::to_string(event.Value);
    if (event.Text[0] != '\0') s += ",\"" + std::string(event.Text) + "\"";
    if (event.Code == EV_SYSTEM_ERROR || event.Code == EV_SOCKET_ERROR)
        s += ",err " + std::to_string(event.Error.MessageId) + "/" +
             std::to_string(event.Error.Code);
    return s + "}";
}

std::string Describe(const std::vector<EngineEvent>& events) {
    std::string s;
    for (const EngineEvent& e : events) s += Describe(e) + " ";
    return s;
}

bool IsError(const EngineEvent& event) {
    return event.Code == EV_SYSTEM_ERROR || event.Code == EV_SOCKET_ERROR ||
           event.Code == EV_LINK_ERROR;
}

// ---- Peer

Peer::~Peer() { Close(); }

bool Peer::Connect(uint16_t port, int receiveBuffer) {
    Close();
    Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifdef _WIN32
    if (s == INVALID_SOCKET) return false;
#else
    if (s < 0) return false;
#endif
    fd_ = static_cast<intptr_t>(s);
    if (receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    return true;
}

bool Peer::Listen(uint16_t port) {
    Close();
    Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    fd_ = static_cast<intptr_t>(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           listen(s, 1) == 0;
}

bool Peer::SendAll(const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        int n = send(ToNative(fd_), p, static_cast<int>(count), 0);
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

int Peer::Receive(void* buffer, size_t count, int timeoutMs) {
#ifdef _WIN32
    fd_set read;
    FD_ZERO(&read);
    FD_SET(ToNative(fd_), &read);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &read, nullptr, nullptr, &tv);
#else
    pollfd p{ToNative(fd_), POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
#endif
    if (ready == 0) return -2;
    if (ready < 0) return -1;
    int n = recv(ToNative(fd_), static_cast<char*>(buffer), static_cast<int>(count), 0);
    return n < 0 ? -1 : n;
}

bool Peer::ClosedWithin(int timeoutMs) {
    char buffer[4096];
    for (;;) {
        int n = Receive(buffer, sizeof buffer, timeoutMs);
        if (n == -2) return false;
        if (n <= 0) return true;
    }
}

void Peer::Close() {
    if (fd_ != kNone) {
        CloseNative(fd_);
        fd_ = kNone;
    }
}

void Peer::Reset() {
    if (fd_ == kNone) return;
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
    setsockopt(ToNative(fd_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
               sizeof hard);
    Close();
}

uint16_t FreePort() {
    Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
#ifdef _WIN32
    int length = sizeof address;
#else
    socklen_t length = sizeof address;
#endif
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    CloseNative(static_cast<intptr_t>(s));
    return ntohs(address.sin_port);
}

Settings TestSettings(uint16_t port) {
    Settings s{};
    s.TCPPort = port;
    s.MaxSyncSize = 131072;
    s.BTComAuto = false;
    s.USBComAuto = false;
#ifdef _WIN32
    std::strcpy(s.BTComPort, "COM240");
    std::strcpy(s.USBComPort, "COM241");
#else
    std::strcpy(s.BTComPort, "/nonexistent/kivro-bt");
    std::strcpy(s.USBComPort, "/nonexistent/kivro-usb");
#endif
    s.DoSync = false;
    return s;
}

int OpenDescriptorCount() {
#ifdef _WIN32
    return -1;  // Wine's GetProcessHandleCount does not follow handles closed and opened
#else
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
#endif
}

uint32_t AddressInUseCode() {
#ifdef _WIN32
    return WSAEADDRINUSE;
#else
    return EADDRINUSE;
#endif
}

}  // namespace kivro::test
