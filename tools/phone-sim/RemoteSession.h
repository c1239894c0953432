// A session relayed to a real VNC server over TCP, as the phone's own server
// would be reached. The socket is non-blocking and both directions are queued,
// so a server that is busy writing never deadlocks against the link; reading
// stops while a generous backlog waits for the PC's polls.
#pragma once

#include <string>

#include "Session.h"

namespace kivro::phonesim {

class RemoteSession : public Session {
  public:
    // Connects to host:port, waiting at most timeoutMs; Ended() at once on failure.
    RemoteSession(const std::string& host, const std::string& port, int timeoutMs);
    ~RemoteSession() override;
    RemoteSession(const RemoteSession&) = delete;
    RemoteSession& operator=(const RemoteSession&) = delete;

    void FromViewer(const uint8_t* data, size_t count) override;
    size_t ToViewer(uint8_t* out, size_t capacity) override {
        return fromServer_.Take(out, capacity);
    }
    bool HasOutput() const override { return !fromServer_.Empty(); }
    bool Ended() const override { return closed_ && fromServer_.Empty(); }
    int Fd() const override { return closed_ ? -1 : fd_; }
    bool WantsRead() const override;
    bool WantsWrite() const override { return !toServer_.Empty(); }
    void OnReady(bool readable, bool writable) override;

    // Waits up to timeoutMs for the server's answer to what the viewer just sent.
    void Gather(int timeoutMs);

  private:
    void Close(const char* why, int error);

    int fd_ = -1;
    bool closed_ = false;
    ByteQueue toServer_, fromServer_;
};

}  // namespace kivro::phonesim
