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

SOCKET Sock(uintptr_t raw) { return raw == kNone ? INVALID_SOCKET : static_cast<SOCKET>(raw); }

SocketError Classify(int code) {
    SocketError error;
    error.code = static_cast<uint32_t>(code);
    if (code == WSAEWOULDBLOCK) error.kind = SocketError::WouldBlock;
    else if (code == WSAECONNRESET) error.kind = SocketError::Reset;
    else if (code == WSAECONNABORTED) error.kind = SocketError::Aborted;
    else error.kind = SocketError::Other;
    return error;
}

SocketError LastSocketFailure() { return Classify(WSAGetLastError()); }

HANDLE EventHandle(Waitable w) { return static_cast<HANDLE>(w.Raw()); }

}  // namespace

// ---- TcpConnection

TcpConnection::~TcpConnection() { Close(); }

TcpConnection::TcpConnection(TcpConnection&& other) noexcept
    : raw_(other.raw_), selected_(other.selected_) {
    for (size_t i = 0; i < sizeof peer_; ++i) peer_[i] = other.peer_[i];
    other.raw_ = kNone;
    other.selected_ = Waitable();
    other.peer_[0] = '\0';
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
    if (this != &other) {
        Close();
        raw_ = other.raw_;
        selected_ = other.selected_;
        for (size_t i = 0; i < sizeof peer_; ++i) peer_[i] = other.peer_[i];
        other.raw_ = kNone;
        other.selected_ = Waitable();
        other.peer_[0] = '\0';
    }
    return *this;
}

bool TcpConnection::IsOpen() const { return raw_ != kNone; }

void TcpConnection::Close() {
    // closesocket also cancels the event selection.
    if (raw_ != kNone) {
        closesocket(Sock(raw_));
        raw_ = kNone;
    }
    selected_ = Waitable();
    peer_[0] = '\0';
}

SocketError TcpConnection::SelectReadOrClose(const Event& ready) {
    if (WSAEventSelect(Sock(raw_), EventHandle(ready.Handle()), FD_READ | FD_CLOSE) != 0)
        return LastSocketFailure();
    selected_ = ready.Handle();
    return {};
}

SocketError TcpConnection::SetNoDelay() {
    BOOL on = TRUE;
    if (setsockopt(Sock(raw_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0)
        return LastSocketFailure();
    return {};
}

int TcpConnection::Receive(void* buffer, size_t capacity, SocketError& error) {
    error = {};
    int n = recv(Sock(raw_), static_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (n == SOCKET_ERROR) {
        error = LastSocketFailure();
        return -1;
    }
    return n;
}

int TcpConnection::Send(const void* buffer, size_t count, SocketError& error) {
    error = {};
    int n = send(Sock(raw_), static_cast<const char*>(buffer), static_cast<int>(count), 0);
    if (n == SOCKET_ERROR) {
        error = LastSocketFailure();
        return -1;
    }
    return n;
}

TcpConnection::WaitResult TcpConnection::WaitWritable(const Event& stop, uint32_t timeoutMs,
                                                      SocketError& error) {
    error = {};
    HANDLE ready = EventHandle(selected_);
    if (!IsOpen() || ready == nullptr || !stop.IsOpen()) {
        error = Classify(WSAENOTSOCK);
        return WaitResult::Failed;
    }
    if (WSAEventSelect(Sock(raw_), ready, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        error = LastSocketFailure();
        return WaitResult::Failed;
    }
    HANDLE handles[2] = {EventHandle(stop.Handle()), ready};
    WaitResult result = WaitResult::TimedOut;
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
            error = Classify(static_cast<int>(GetLastError()));
            result = WaitResult::Failed;
            break;
        }
        WSANETWORKEVENTS events;
        if (WSAEnumNetworkEvents(Sock(raw_), ready, &events) != 0) {
            error = LastSocketFailure();
            result = WaitResult::Failed;
            break;
        }
        // A close or an error also ends the wait: the next send reports it.
        if (events.lNetworkEvents & (FD_WRITE | FD_CLOSE)) {
            result = WaitResult::Writable;
            break;
        }
    }
    if (WSAEventSelect(Sock(raw_), ready, FD_READ | FD_CLOSE) != 0 &&
        result != WaitResult::Failed) {
        error = LastSocketFailure();
        result = WaitResult::Failed;
    }
    SetEvent(ready);
    return result;
}

// ---- TcpListener

TcpListener::~TcpListener() { Close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : raw_(other.raw_), selected_(other.selected_) {
    other.raw_ = kNone;
    other.selected_ = Waitable();
}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        Close();
        raw_ = other.raw_;
        selected_ = other.selected_;
        other.raw_ = kNone;
        other.selected_ = Waitable();
    }
    return *this;
}

bool TcpListener::IsOpen() const { return raw_ != kNone; }

void TcpListener::Close() {
    if (raw_ != kNone) {
        closesocket(Sock(raw_));
        raw_ = kNone;
    }
    selected_ = Waitable();
}

SocketError TcpListener::Create() {
    Close();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return LastSocketFailure();
    raw_ = static_cast<uintptr_t>(s);
    return {};
}

SocketError TcpListener::Listen(uint16_t port, const Event& acceptReady) {
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
    return {};
}

SocketError TcpListener::Accept(TcpConnection& connection) {
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
    return {};
}

}  // namespace kivro::platform
