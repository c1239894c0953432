// One VNC session as the phone's server side sees it: bytes from the viewer go
// in, bytes for the viewer come out in pieces the size of a link reply. Two
// kinds exist, the built-in screen and a relay to a VNC server over TCP; the
// main loop treats them alike and only asks the TCP kind for its socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivro::phonesim {

// A FIFO of bytes that grows at the back and is consumed at the front without
// moving what is left on every take.
class ByteQueue {
  public:
    void Append(const uint8_t* data, size_t count) {
        bytes_.insert(bytes_.end(), data, data + count);
    }
    size_t Size() const { return bytes_.size() - head_; }
    bool Empty() const { return Size() == 0; }
    const uint8_t* Front() const { return bytes_.data() + head_; }
    size_t Take(uint8_t* out, size_t capacity);
    void Drop(size_t count);
    void Clear() {
        bytes_.clear();
        head_ = 0;
    }

  private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
};

class Session {
  public:
    virtual ~Session() = default;
    // Bytes the viewer sent (the payload of a LINK_DATA from the PC).
    virtual void FromViewer(const uint8_t* data, size_t count) = 0;
    // Called before each reply is built, so that time-driven output is ready.
    virtual void Tick() {}
    // Moves up to capacity bytes meant for the viewer into out.
    virtual size_t ToViewer(uint8_t* out, size_t capacity) = 0;
    virtual bool HasOutput() const = 0;
    // True once the server side has ended the session (after its output).
    virtual bool Ended() const = 0;
    // The socket to wait on, or -1; WantsWrite tells whether to wait for POLLOUT.
    virtual int Fd() const { return -1; }
    virtual bool WantsRead() const { return false; }
    virtual bool WantsWrite() const { return false; }
    virtual void OnReady(bool /*readable*/, bool /*writable*/) {}
};

}  // namespace kivro::phonesim
