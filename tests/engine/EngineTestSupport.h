// What the engine tests share: a recording event sink the test thread can wait
// on, a plain blocking TCP peer playing the VNC viewer (or occupying a port), and
// open-descriptor counting on Linux. The peer uses the sockets API directly so
// that it tests the engine's platform layer rather than reusing it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Events.h"
#include "engine/Proxy.h"
#include "settings/Settings.h"

namespace kivro::test {

// Records every event; optionally calls a hook on the posting (worker) thread.
class RecordingSink : public EngineEvents {
  public:
    void Post(const EngineEvent& event) override;

    std::vector<EngineEvent> Events();
    // Waits until an event matching pred has been recorded (counting from index
    // `from`); returns its index or -1 after timeoutMs.
    int WaitFor(const std::function<bool(const EngineEvent&)>& pred, int timeoutMs = 5000,
                size_t from = 0);
    int WaitForCode(EventCode code, uint32_t value, int timeoutMs = 5000, size_t from = 0);
    size_t Count();
    // Runs on the worker thread for each event, after it was recorded.
    std::function<void(const EngineEvent&)> hook;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<EngineEvent> events_;
};

std::string Describe(const EngineEvent& event);
std::string Describe(const std::vector<EngineEvent>& events);
bool IsError(const EngineEvent& event);

// A blocking IPv4 TCP socket on the loopback address.
class Peer {
  public:
    Peer() = default;
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Connect(uint16_t port, int receiveBuffer = 0);
    // Listens on every address at `port` (to occupy it).
    bool Listen(uint16_t port);
    bool SendAll(const void* data, size_t count);
    // Receives up to count bytes, waiting at most timeoutMs; -1 on error, 0 at the
    // end of the stream, -2 on time-out.
    int Receive(void* buffer, size_t count, int timeoutMs);
    // True when the peer closed (end of stream or reset) within timeoutMs.
    bool ClosedWithin(int timeoutMs);
    void Close();
    // Closes with an RST instead of a FIN.
    void Reset();
    bool IsOpen() const { return fd_ != kNone; }

  private:
    static constexpr intptr_t kNone = -1;
    intptr_t fd_ = kNone;
};

// A port nobody listens on right now.
uint16_t FreePort();

// Settings for a test engine: the given port, port names that exist nowhere.
Settings TestSettings(uint16_t port);

// Open file descriptors (Linux) or handles (Windows) of this process; -1 when unknown.
int OpenDescriptorCount();

// The address-in-use code of the platform (98 / 10048).
uint32_t AddressInUseCode();

}  // namespace kivro::test

namespace kivro {
// Friend of Proxy: drives its protected operations from tests.
struct ProxyTestAccess {
    // Worker thread only (call it from a sink hook).
    static void SendToClient(Proxy& proxy, const uint8_t* data, size_t count) {
        proxy.viewer_.Send(data, count);
    }
    static void ReportSystemError(Proxy& proxy, uint32_t id, uint32_t code) {
        proxy.ReportSystemError(id, code);
    }
    static void ReportSocketError(Proxy& proxy, uint32_t id, uint32_t code) {
        proxy.ReportSocketError(id, code);
    }
    static void SetSink(Proxy& proxy, EngineEvents* sink) { proxy.sink_ = sink; }
};
}  // namespace kivro
