// TCP sockets as the engine uses them: one listener on every local address with a
// backlog of 1, and connected sockets, each with its readiness shown on an Event
// so that the worker's single WaitAny covers them. Win32: Winsock 1.1 calls plus
// WSAEventSelect (WSAStartup is the front end's job). Linux: non-blocking,
// close-on-exec BSD sockets whose fd is bound to the event (level-triggered).
// Every failure comes back as a SocketError: a class the engine acts on and the
// raw code (Winsock code / errno) it shows the user.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Event.h"

namespace kivro::platform {

struct SocketError {
    enum Kind : uint8_t { None, WouldBlock, Reset, Aborted, Other };
    Kind kind = None;
    uint32_t code = 0;
    bool Failed() const { return kind != None; }
};

// Owner of one connected TCP socket. Move-only; closing also ends its event selection.
class TcpConnection {
public:
    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&& other) noexcept;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    bool IsOpen() const;
    void Close();

    // From now on `ready` is signalled while data or the end of the stream (or an
    // error) is waiting. The event must outlive the socket or its Close.
    SocketError SelectReadOrClose(const Event& ready);
    // Sends small segments at once (TCP_NODELAY).
    SocketError SetNoDelay();

    // Bytes received (> 0), 0 at the orderly end of the stream, or -1 with error set.
    int Receive(void* buffer, size_t capacity, SocketError& error);
    // Bytes sent (> 0), or -1 with error set (WouldBlock when the send buffer is full).
    int Send(const void* buffer, size_t count, SocketError& error);

    enum class WaitResult : uint8_t { Writable, Stopped, TimedOut, Failed };
    // Waits until the socket can take more bytes, `stop` is signalled or timeoutMs
    // passes; a stop wins over writability. Needs SelectReadOrClose first; the
    // read readiness stays intact (on Windows the event is set afterwards so a
    // pending read or close is not missed). Failed sets error.
    WaitResult WaitWritable(const Event& stop, uint32_t timeoutMs, SocketError& error);

    // The peer's IPv4 address, dotted decimal; empty when unknown.
    const char* PeerAddress() const { return peer_; }

private:
    friend class TcpListener;
    uintptr_t raw_ = kInvalid;  // SOCKET or fd
    Waitable selected_;         // the event given to SelectReadOrClose
    char peer_[16] = {};
    static constexpr uintptr_t kInvalid = ~uintptr_t{0};
};

// Owner of the listening socket. Move-only.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool IsOpen() const;
    void Close();

    // socket(AF_INET, SOCK_STREAM, IPPROTO_TCP).
    SocketError Create();
    // Binds to every local address and `port`, listens with a backlog of 1 and
    // signals `acceptReady` while a connection waits. The event must outlive the socket.
    SocketError Listen(uint16_t port, const Event& acceptReady);
    // Takes one waiting connection; WouldBlock when there is none.
    SocketError Accept(TcpConnection& connection);

private:
    uintptr_t raw_ = kInvalid;
    Waitable selected_;
    static constexpr uintptr_t kInvalid = ~uintptr_t{0};
};

}  // namespace kivro::platform
