// Win32 TCP sockets through Winsock 1.1 calls plus WSAEventSelect, which also
// makes each socket non-blocking. A socket has one event selection at a time, so
// the wait for writability widens the connection's selection to FD_WRITE for the
// wait and narrows it again afterwards; because reading WSAEnumNetworkEvents
// consumes a pending FD_READ / FD_CLOSE record, the event is set once more on the
// way out and the main loop's next receive finds out what is there.
#include "platform/Socket.h"

#include <winsock2.h>
#include <windows.h>

#include "platform/System.h"

namespace kivro::platform {

namespace {

constexpr uintptr_t kNone = ~uintptr_t{0};

SOCKET Sock(uintptr_t raw) {
    return raw == kNone ? INVALID_SOCKET : static_cast<SOCKET>(raw);
}

// A failure must never read as success: a code of 0 (none is expected) counts
// as a general failure.
Result Failure(DWORD code) {
    return Result(code != 0 ? code : ERROR_GEN_FAILURE);
}

Result LastSocketFailure() {
    return Failure(static_cast<DWORD>(WSAGetLastError()));
}

HANDLE EventHandle(Waitable w) {
    return static_cast<HANDLE>(w.Raw());
}

}  // namespace

bool IsConnectionLost(Result result) {
    return result.Code() == WSAECONNRESET || result.Code() == WSAECONNABORTED;
}

// ---- TcpConnection

bool TcpConnection::IsOpen() const {
    return raw_ != kNone;
}

void TcpConnection::Close() {
    // closesocket also cancels the event selection.
    if (raw_ != kNone) {
        closesocket(Sock(raw_));
        raw_ = kNone;
    }
    selected_ = Waitable();
    peer_[0] = '\0';
}

Result TcpConnection::SelectReadOrClose(const Event& ready) {
    if (WSAEventSelect(Sock(raw_), EventHandle(ready.Handle()), FD_READ | FD_CLOSE) != 0)
        return LastSocketFailure();
    selected_ = ready.Handle();
    return Result();
}

Result TcpConnection::SetNoDelay() {
    BOOL on = TRUE;
    if (setsockopt(Sock(raw_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0)
        return LastSocketFailure();
    return Result();
}

Result TcpConnection::Receive(void* buffer, size_t capacity, size_t& received) {
    received = 0;
    int n = recv(Sock(raw_), static_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (n == SOCKET_ERROR) return LastSocketFailure();
    received = static_cast<size_t>(n);
    return Result();
}

Result TcpConnection::Send(const void* buffer, size_t count, size_t& sent) {
    sent = 0;
    int n = send(Sock(raw_), static_cast<const char*>(buffer), static_cast<int>(count), 0);
    if (n == SOCKET_ERROR) return LastSocketFailure();
    sent = static_cast<size_t>(n);
    return Result();
}

Result TcpConnection::WaitWritable(const Event& stop, uint32_t timeoutMs, WaitResult& outcome) {
    HANDLE ready = EventHandle(selected_);
    if (!IsOpen() || ready == nullptr || !stop.IsOpen()) return Failure(WSAENOTSOCK);
    if (WSAEventSelect(Sock(raw_), ready, FD_READ | FD_WRITE | FD_CLOSE) != 0)
        return LastSocketFailure();
    HANDLE handles[2] = {EventHandle(stop.Handle()), ready};
    WaitResult result = WaitResult::TimedOut;
    Result failure;
    const uint32_t start = TickCount();
    for (;;) {
        uint32_t elapsed = TickCount() - start;
        if (elapsed >= timeoutMs) break;
        DWORD r = WaitForMultipleObjects(2, handles, FALSE, timeoutMs - elapsed);
        if (r == WAIT_TIMEOUT) break;
        if (r == WAIT_OBJECT_0) {
            result = WaitResult::Stopped;
            break;
        }
        if (r != WAIT_OBJECT_0 + 1) {
            failure = Failure(GetLastError());
            break;
        }
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(Sock(raw_), ready, &events) != 0) {
            failure = LastSocketFailure();
            break;
        }
        // A close or an error also ends the wait: the next send reports it.
        if (events.lNetworkEvents & (FD_WRITE | FD_CLOSE)) {
            result = WaitResult::Writable;
            break;
        }
    }
    // Narrowed again whatever happened; the first failure is the one reported.
    if (WSAEventSelect(Sock(raw_), ready, FD_READ | FD_CLOSE) != 0 && failure.Ok())
        failure = LastSocketFailure();
    SetEvent(ready);
    if (failure.Ok()) outcome = result;
    return failure;
}

// ---- TcpListener

bool TcpListener::IsOpen() const {
    return raw_ != kNone;
}

void TcpListener::Close() {
    if (raw_ != kNone) {
        closesocket(Sock(raw_));
        raw_ = kNone;
    }
    selected_ = Waitable();
}

Result TcpListener::Create() {
    Close();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return LastSocketFailure();
    raw_ = static_cast<uintptr_t>(s);
    return Result();
}

Result TcpListener::Listen(uint16_t port, const Event& acceptReady) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(Sock(raw_), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return LastSocketFailure();
    if (listen(Sock(raw_), 1) != 0) return LastSocketFailure();
    if (WSAEventSelect(Sock(raw_), EventHandle(acceptReady.Handle()), FD_ACCEPT) != 0)
        return LastSocketFailure();
    selected_ = acceptReady.Handle();
    return Result();
}

Result TcpListener::Accept(TcpConnection& connection) {
    sockaddr_in address{};
    int length = sizeof address;
    SOCKET s = accept(Sock(raw_), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET) return LastSocketFailure();
    connection.Close();
    connection.raw_ = static_cast<uintptr_t>(s);
    const char* text = inet_ntoa(address.sin_addr);
    size_t i = 0;
    for (; text != nullptr && text[i] != '\0' && i + 1 < sizeof connection.peer_; ++i)
        connection.peer_[i] = text[i];
    connection.peer_[i] = '\0';
    return Result();
}

}  // namespace kivro::platform
