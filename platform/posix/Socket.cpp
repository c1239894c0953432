// Linux TCP sockets: non-blocking and close-on-exec from creation, SO_REUSEADDR on
// the listener so that a restart can bind while old connections sit in TIME_WAIT
// (Linux still refuses a port that another socket listens on). Readiness is the
// socket fd bound to the event, so it is level-triggered: data not read yet keeps
// the event signalled. Sends use MSG_NOSIGNAL: a vanished viewer is an error
// code, not a SIGPIPE that ends the process.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/System.h"
#include "platform/posix/WaitSource.h"

namespace kivro::platform {

using posix::SourceOf;

namespace {

constexpr uintptr_t kNone = ~uintptr_t{0};

int Fd(uintptr_t raw) {
    return raw == kNone ? -1 : static_cast<int>(raw);
}

// IsWouldBlock compares with EWOULDBLOCK alone; it must cover EAGAIN as well.
static_assert(EAGAIN == EWOULDBLOCK);

Result Failure(int code) {
    return Result(static_cast<uint32_t>(code));
}

Result LastSocketFailure() {
    return Failure(errno);
}

void Unselect(Waitable& selected) {
    if (selected) {
        if (auto* source = SourceOf(selected)) {
            source->boundFd = -1;
            source->boundEvents = 0;
        }
        selected = Waitable();
    }
}

void BindReadiness(Waitable& selected, int fd, const Event& event, short events) {
    Unselect(selected);
    posix::Bind(event, fd, events);
    selected = event.Handle();
}

}  // namespace

bool IsConnectionLost(Result result) {
    const uint32_t code = result.Code();
    // EPIPE: the connection is gone for sending, which is what a reset means to us.
    return code == ECONNRESET || code == EPIPE || code == ECONNABORTED;
}

// ---- TcpConnection

bool TcpConnection::IsOpen() const {
    return raw_ != kNone;
}

void TcpConnection::Close() {
    Unselect(selected_);
    if (raw_ != kNone) {
        close(Fd(raw_));
        raw_ = kNone;
    }
    peer_[0] = '\0';
}

Result TcpConnection::SelectReadOrClose(const Event& ready) {
    if (!IsOpen() || !ready.IsOpen()) return Failure(EBADF);
    BindReadiness(selected_, Fd(raw_), ready, POLLIN);
    return Result();
}

Result TcpConnection::SetNoDelay() {
    int on = 1;
    if (setsockopt(Fd(raw_), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return LastSocketFailure();
    return Result();
}

Result TcpConnection::Receive(void* buffer, size_t capacity, size_t& received) {
    received = 0;
    for (;;) {
        ssize_t n = recv(Fd(raw_), buffer, capacity, 0);
        if (n >= 0) {
            received = static_cast<size_t>(n);
            return Result();
        }
        if (errno == EINTR) continue;
        return LastSocketFailure();
    }
}

Result TcpConnection::Send(const void* buffer, size_t count, size_t& sent) {
    sent = 0;
    for (;;) {
        ssize_t n = send(Fd(raw_), buffer, count, MSG_NOSIGNAL);
        if (n >= 0) {
            sent = static_cast<size_t>(n);
            return Result();
        }
        if (errno == EINTR) continue;
        return LastSocketFailure();
    }
}

Result TcpConnection::WaitWritable(const Event& stop, uint32_t timeoutMs, WaitResult& outcome) {
    const posix::WaitSource* stopSource = SourceOf(stop);
    if (!IsOpen() || stopSource == nullptr) return Failure(EBADF);
    pollfd fds[2] = {{stopSource->fd, POLLIN, 0}, {Fd(raw_), POLLOUT, 0}};
    const uint32_t start = TickCount();
    for (;;) {
        uint32_t elapsed = TickCount() - start;
        int wait = elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
        int n = poll(fds, 2, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return LastSocketFailure();
        if (n == 0) {
            if (TickCount() - start < timeoutMs) continue;
            outcome = WaitResult::TimedOut;
        } else if (fds[0].revents != 0) {
            outcome = WaitResult::Stopped;
        } else {
            // POLLERR / POLLHUP count too: the next send reports what happened.
            outcome = WaitResult::Writable;
        }
        return Result();
    }
}

// ---- TcpListener

bool TcpListener::IsOpen() const {
    return raw_ != kNone;
}

void TcpListener::Close() {
    Unselect(selected_);
    if (raw_ != kNone) {
        close(Fd(raw_));
        raw_ = kNone;
    }
}

Result TcpListener::Create() {
    Close();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return LastSocketFailure();
    raw_ = static_cast<uintptr_t>(fd);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return Result();
}

Result TcpListener::Listen(uint16_t port, const Event& acceptReady) {
    if (!IsOpen() || !acceptReady.IsOpen()) return Failure(EBADF);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(Fd(raw_), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return LastSocketFailure();
    if (listen(Fd(raw_), 1) != 0) return LastSocketFailure();
    BindReadiness(selected_, Fd(raw_), acceptReady, POLLIN);
    return Result();
}

Result TcpListener::Accept(TcpConnection& connection) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int fd;
    do {
        fd = accept4(Fd(raw_), reinterpret_cast<sockaddr*>(&address), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastSocketFailure();
    connection.Close();
    connection.raw_ = static_cast<uintptr_t>(fd);
    if (address.sin_family != AF_INET ||
        inet_ntop(AF_INET, &address.sin_addr, connection.peer_, sizeof connection.peer_) == nullptr)
        connection.peer_[0] = '\0';
    return Result();
}

}  // namespace kivro::platform
