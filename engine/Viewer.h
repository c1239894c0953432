// The engine's viewer side as one object: the listening socket, the one viewer
// connection, receiving its bytes straight into the caller's buffer and sending
// the phone's bytes back. A viewer that reads slowly is waited for (bounded by
// the link time-out, still honouring the engine's stop) instead of being taken
// for an engine failure, and a viewer that vanished while being sent to is
// closed like one that vanished while being read from: neither stops the
// engine. One viewer at a time: a second connection is accepted and closed at
// once, or waits in the backlog while the engine holds it there.
//
// Worker thread only, but for Connected, which the user-interface thread reads
// through the engine's queries. The events belong to the engine's wait table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/Events.h"
#include "platform/Event.h"
#include "platform/Socket.h"

namespace kivro {

// What the viewer side tells the engine: its events, its socket errors, and a
// send that failed for a reason that is not the viewer's going (the engine
// stops).
class ViewerReports {
  public:
    virtual void ViewerEvent(EventCode code, uint32_t value) = 0;
    virtual void ViewerText(EventCode code, const char* text) = 0;
    virtual void ViewerError(uint32_t messageId, uint32_t code) = 0;
    virtual void ViewerBroken() = 0;

  protected:
    ~ViewerReports() = default;
};

class Viewer {
  public:
    // timeoutMs bounds a send that makes no progress. connectionWaiting and
    // dataWaiting are set by the sockets; stop ends a send's wait for room.
    Viewer(ViewerReports& reports, uint32_t timeoutMs, platform::Event& connectionWaiting,
           platform::Event& dataWaiting, platform::Event& stop);
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Creates the listening socket on port; reports its own failure, false then.
    bool Listen(uint16_t port);
    // The listener's event was set: take the connection waiting there.
    void Accept();
    // Receives into buffer. Returns the byte count (> 0), 0 when nothing was
    // there, or -1 when the connection ended (closed, its event posted).
    int Receive(uint8_t* buffer, uint32_t capacity);
    // Sends count bytes; dropped without a viewer.
    void Send(const uint8_t* buffer, size_t count);
    // Closes the connection and posts that it went; nothing without one.
    void Close();
    // Closes listener and connection without a word: the engine is going.
    void Release();

    // Any thread.
    bool Connected() const { return connected_; }

  private:
    ViewerReports& reports_;
    const uint32_t timeoutMs_;
    platform::Event& connectionWaiting_;
    platform::Event& dataWaiting_;
    platform::Event& stop_;
    platform::TcpListener listener_;
    platform::TcpConnection client_;
    std::atomic<bool> connected_{false};
};

}  // namespace kivro
