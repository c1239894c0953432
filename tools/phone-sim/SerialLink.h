// The phone's end of the serial line: a given device, or a pty pair that
// phone-sim makes itself and whose other end the PC opens. Reads are
// non-blocking and cut into link frames here; writes block until done and may
// be paced to emulate a slow line. The pty's slave is also held open by
// phone-sim so that the PC can close and reopen it without the master seeing a
// hang-up (which would make every poll return at once); each open by the PC
// is seen through inotify instead, so that a PC that closes and reopens the
// port at once (as after a failed exchange) is still noticed.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/LinkProtocol.h"

namespace kivro::phonesim {

struct Frame {
    uint8_t type = 0;
    uint16_t length = 0;
    uint8_t payload[kLinkMaxPayload];
};

class SerialLink {
  public:
    SerialLink() = default;
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Makes a pty pair in raw mode; path receives the PC's end.
    bool OpenPty(std::string& path);
    // Opens a serial device in raw mode, its line settings otherwise as they are.
    bool OpenDevice(const std::string& path);
    int Fd() const { return fd_; }
    // A descriptor that turns readable when the PC opens the pty's far end
    // (inotify on the slave); -1 for a device, whose far end cannot be seen.
    int OpenWatchFd() const { return watch_; }
    // How many times the PC has opened the far end since the last call.
    int TakeOpens();

    // Drops what waits in both directions and any partly parsed frame.
    void Flush();
    // Raises or drops DTR and RTS (which the PC sees as DSR and CTS through a
    // null-modem line); a pty has no modem lines, which is not an error.
    void SetModemLines(bool on);

    // Link speed emulation: bytes per second (0 for full speed) and the phone's
    // latency before each answer. Both directions share one budget, as they
    // would on a half-duplex radio link. Line time runs on absolute deadlines:
    // a request starts it afresh when its frame is read (the line was idle
    // while the PC worked), and the latency and the answer follow on from those
    // deadlines, so a sleep that wakes late is made up by the next deadline
    // instead of adding to the exchange (under load every sleep wakes late).
    void SetPace(uint32_t bytesPerSecond, uint32_t latencyMs);
    // A request of count bytes was read: waits out its time on the line and the
    // latency; the answer written next follows on from there.
    void Received(size_t count);

    bool Write(const uint8_t* data, size_t count);
    // Reads what is waiting into the frame parser; false when the device is gone.
    bool ReadAvailable();
    // Status of the next frame in the parser.
    enum class Next { None, Frame, TooLong };
    Next NextFrame(Frame& frame);

  private:
    bool WriteAll(const uint8_t* data, size_t count);
    // Holds the next count bytes until their time on the line has passed.
    void Pace(size_t count);

    int fd_ = -1;
    int heldSlave_ = -1;
    int watch_ = -1;
    std::vector<uint8_t> in_;
    uint32_t bytesPerSecond_ = 0;
    std::chrono::milliseconds latency_{0};
    // When the first byte of the frame being parsed arrived.
    std::chrono::steady_clock::time_point frameStart_{};
    // When the emulated line has carried all it was given.
    std::chrono::steady_clock::time_point paceFree_{};
    // An answer is due: its bytes follow the request's deadlines, never "now".
    bool answering_ = false;
};

}  // namespace kivro::phonesim
