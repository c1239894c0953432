// TCP relay to a VNC server: connect with a time-out, then queue both ways.
#include "RemoteSession.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Log.h"

namespace kivro::phonesim {
namespace {

// Enough for several full screens; beyond it the server waits for the PC's polls.
constexpr size_t kBacklogLimit = 1 << 20;

int ConnectWithTimeout(const std::string& host, const std::string& port, int timeoutMs,
                       int& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        error = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = list; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
        if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            socklen_t len = sizeof error;
            error = ETIMEDOUT;
            if (poll(&p, 1, timeoutMs) == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error == 0) break;
        } else {
            error = errno;
        }
        close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

}  // namespace

RemoteSession::RemoteSession(const std::string& host, const std::string& port, int timeoutMs) {
    int error = 0;
    fd_ = ConnectWithTimeout(host, port, timeoutMs, error);
    if (fd_ < 0)
        Close("cannot connect to the VNC server", error);
    else
        Log(1, "connected to the VNC server at %s:%s", host.c_str(), port.c_str());
}

RemoteSession::~RemoteSession() {
    if (fd_ >= 0) close(fd_);
}

void RemoteSession::Close(const char* why, int error) {
    if (!closed_) Log(1, "%s (%s)", why, error ? std::strerror(error) : "closed");
    closed_ = true;
    toServer_.Clear();
}

bool RemoteSession::WantsRead() const {
    return fromServer_.Size() < kBacklogLimit;
}

void RemoteSession::FromViewer(const uint8_t* data, size_t count) {
    if (closed_) return;
    toServer_.Append(data, count);
    OnReady(false, true);
}

void RemoteSession::OnReady(bool readable, bool writable) {
    if (closed_) return;
    while (writable && !toServer_.Empty()) {
        ssize_t n = send(fd_, toServer_.Front(), toServer_.Size(), MSG_NOSIGNAL);
        if (n > 0) {
            toServer_.Drop(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        } else {
            Close("VNC server connection lost", errno);
            return;
        }
    }
    while (readable && WantsRead()) {
        uint8_t buffer[16384];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            fromServer_.Append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        } else {
            Close("VNC server closed the connection", n < 0 ? errno : 0);
            return;
        }
    }
}

void RemoteSession::Gather(int timeoutMs) {
    if (closed_ || !fromServer_.Empty() || timeoutMs <= 0) return;
    short events = POLLIN | (WantsWrite() ? POLLOUT : 0);
    pollfd p{fd_, events, 0};
    if (poll(&p, 1, timeoutMs) > 0)
        OnReady(p.revents & (POLLIN | POLLHUP | POLLERR), p.revents & POLLOUT);
}

}  // namespace kivro::phonesim
