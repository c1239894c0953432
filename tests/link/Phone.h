// A scripted phone for the engine's link tests: it reads the PC's frames from
// its end of the serial line, records them with their arrival time, and answers
// each with exactly one reply of the test's choosing (by default an empty
// LINK_DATA), as the phone's server does. It runs on a thread of its own so the
// engine's worker blocks on it exactly as on a real phone.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kivro::test {

// The phone's end of a serial line (a pty master, a Wine COM port).
class ByteChannel {
  public:
    virtual ~ByteChannel() = default;
    virtual bool Write(const void* data, size_t count) = 0;
    // Whatever arrives within timeoutMs, up to capacity bytes; 0 on time-out.
    virtual size_t ReadSome(void* data, size_t capacity, int timeoutMs) = 0;
};

struct LinkFrameRecord {
    uint8_t type;
    std::vector<uint8_t> payload;
    uint32_t tick;  // platform::TickCount() when the frame was complete
};

// A frame's bytes: type, big-endian length, payload.
std::vector<uint8_t> FrameBytes(uint8_t type, const std::vector<uint8_t>& payload = {});
// The same with the header's length given separately (for malformed replies).
std::vector<uint8_t> FrameBytes(uint8_t type, uint32_t length, const std::vector<uint8_t>& payload);

class ScriptedPhone {
  public:
    // Returns the raw bytes answering a frame.
    using Answer = std::function<std::vector<uint8_t>(const LinkFrameRecord&)>;

    explicit ScriptedPhone(ByteChannel& channel) : channel_(channel) {}
    ~ScriptedPhone() { Stop(); }

    void Start();
    void Stop();
    // Replies given, in order, to the next frames before the answer function.
    void Queue(std::vector<uint8_t> reply);
    void SetAnswer(Answer answer);

    std::vector<LinkFrameRecord> Frames();
    size_t Count();
    // Index of the first frame from `from` on that matches, or -1 after timeoutMs.
    int WaitFor(const std::function<bool(const LinkFrameRecord&)>& pred, int timeoutMs = 5000,
                size_t from = 0);
    int WaitForType(uint8_t type, int timeoutMs = 5000, size_t from = 0);

  private:
    void Run();

    ByteChannel& channel_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::deque<std::vector<uint8_t>> queued_;
    Answer answer_;
    std::vector<LinkFrameRecord> frames_;
};

}  // namespace kivro::test
