// TCP sockets as the engine uses them: one listener on every local address with a
// backlog of 1, and connected sockets, each with its readiness shown on an Event
// so that the worker's single WaitAny covers them. Win32: Winsock 1.1 calls plus
// WSAEventSelect (WSAStartup is the front end's job). Linux: non-blocking,
// close-on-exec BSD sockets whose fd is bound to the event (level-triggered).
// Every call that can fail returns a Result holding the raw code (Winsock code /
// errno), the number the engine shows the user; the few failures the engine
// acts on differently are told apart by code with IsWouldBlock and
// IsConnectionLost below, not by a class carried beside the code, so a failure
// is one value wherever it goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Event.h"
#include "platform/Result.h"
#include "platform/System.h"

namespace kivro::platform {

// Nothing to take (receive, accept) or no room (send) right now: not an error.
inline bool IsWouldBlock(Result result) {
    return result.Code() == ErrorCodes::WouldBlock;
}
// The connection is gone from the far side: reset (ConnReset; on Linux also
// EPIPE, a send after the reset) or aborted (ConnAborted).
bool IsConnectionLost(Result result);

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
    Result SelectReadOrClose(const Event& ready);
    // Sends small segments at once (TCP_NODELAY).
    Result SetNoDelay();

    // received: the bytes received (> 0), or 0 at the orderly end of the stream.
    // Nothing waiting is the failure IsWouldBlock tells.
    Result Receive(void* buffer, size_t capacity, size_t& received);
    // sent: the bytes the system took; a full send buffer is the failure
    // IsWouldBlock tells.
    Result Send(const void* buffer, size_t count, size_t& sent);

    // How a wait for room ended; a failure of the wait itself is its Result.
    enum class WaitResult : uint8_t { Writable, Stopped, TimedOut };
    // Waits until the socket can take more bytes, `stop` is signalled or timeoutMs
    // passes; a stop wins over writability. Needs SelectReadOrClose first; the
    // read readiness stays intact (on Windows the event is set afterwards so a
    // pending read or close is not missed). outcome is set when the wait succeeds.
    Result WaitWritable(const Event& stop, uint32_t timeoutMs, WaitResult& outcome);

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
    Result Create();
    // Binds to every local address and `port`, listens with a backlog of 1 and
    // signals `acceptReady` while a connection waits. The event must outlive the socket.
    Result Listen(uint16_t port, const Event& acceptReady);
    // Takes one waiting connection; the failure IsWouldBlock tells when there is none.
    Result Accept(TcpConnection& connection);

private:
    uintptr_t raw_ = kInvalid;
    Waitable selected_;
    static constexpr uintptr_t kInvalid = ~uintptr_t{0};
};

}  // namespace kivro::platform
