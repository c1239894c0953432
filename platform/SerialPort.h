// A serial port as the engine uses it: opened for exclusive use and configured
// once, then one asynchronous transfer at a time (read or write) whose completion
// sets an Event, plus a wait for a change of the CTS or DSR line that sets another.
// Both complete on events rather than through callbacks so that the engine's one
// WaitAny covers a transfer, a modem change and the stop request together, as
// overlapped I/O with WaitForMultipleObjects does on Windows. The Win32 backend
// is overlapped I/O on a COM port; the POSIX backend is a non-blocking tty whose
// pending transfer binds the port to the event for poll, and a helper thread in
// TIOCMIWAIT for the modem wait (no poll event exists for modem lines), which
// polls the lines instead on a driver that cannot wait for them (RFCOMM).
//
// Every call that can fail returns a Result holding the system's code (Win32
// code / errno). Opening and configuring stay one call, Open, rather than an
// Open plus a Configure: a port that opened but refused its queues or time-outs
// must never be used (a read would follow whatever time-outs the driver had), so
// Open leaves the port either configured and open or closed, and says through
// configureFailed which of the two steps refused, because the engine retries a
// port it could not open in silence but reports one that refused its settings.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Result.h"

namespace kivro::platform {

class Event;

// Modem-line bits, as GetCommModemStatus gives them.
constexpr uint32_t kModemCtsOn = 0x10;   // MS_CTS_ON
constexpr uint32_t kModemDsrOn = 0x20;   // MS_DSR_ON
constexpr uint32_t kModemRingOn = 0x40;  // MS_RING_ON
constexpr uint32_t kModemRlsdOn = 0x80;  // MS_RLSD_ON (carrier detect)

class SerialPort {
  public:
    SerialPort();
    ~SerialPort();
    SerialPort(SerialPort&&) noexcept;
    SerialPort& operator=(SerialPort&&) noexcept;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the named port ("COM3" on Windows; on POSIX a name with "/" is a
    // path, any other name means /dev/NAME), for exclusive use, with input and
    // output queues of 16384 and 8192 bytes, no time-outs (a read waits for all
    // its bytes), CTS and DSR changes watched, the line settings (baud rate,
    // framing) left as the driver has them and nothing already waiting flushed.
    // An open port is closed first. On failure the port is closed, and
    // configureFailed tells a port that opened but refused queue sizes,
    // time-outs or the event mask (true) from one that could not be opened at
    // all: missing, busy, no access (false).
    Result Open(const char* name, bool& configureFailed);
    bool IsOpen() const;
    // Cancels what is pending (transfer and modem wait) and closes. Idempotent.
    void Close();

    // Starts reading count bytes into buffer (or writing count bytes from it).
    // Ok: the transfer is under way or already complete; done is reset at the
    // start and set on completion, so it is set on return when the transfer
    // completed at once (on Linux for waits on the calling thread only, which
    // saves two system calls; no other thread waits on a transfer's event),
    // and Finish collects it either way. A failure leaves
    // nothing pending. buffer must stay valid until the transfer has finished
    // or been cancelled. A read completes when at least one byte has arrived
    // (all of them where the driver holds back, as Windows does without
    // time-outs); callers loop for the rest.
    Result StartRead(void* buffer, uint32_t count, Event& done);
    Result StartWrite(const void* buffer, uint32_t count, Event& done);
    // The outcome of the transfer last started, with the bytes it moved in
    // transferred (0 on failure): waits for it if still running.
    Result Finish(uint32_t& transferred);
    // True from a start that did not complete at once until Finish or Cancel
    // collects it; false after one that did. A plain flag, no system call, so
    // a caller can take bytes that were already there without a wait.
    bool Pending() const;
    // Ends a pending transfer; it then counts as failed with the system's
    // "operation aborted" code (995 / ECANCELED). Nothing pending: no effect.
    void Cancel();

    // The modem lines as kModem... bits. Fails on a driver without modem lines
    // (a pty) as it does on Windows for such a driver.
    Result ReadModemLines(uint32_t& status);
    // Arms a one-shot wait that sets changed when CTS or DSR differ from
    // lastStatus, the kModem... bits the caller last read: a change between
    // that read and this call signals at once instead of being lost. Only a
    // real change of CTS or DSR signals (or a failure to read the lines, which
    // the caller's next read then reports). Re-arming replaces a wait still
    // pending.
    Result ArmModemWait(Event& changed, uint32_t lastStatus);
    // Throws away what has arrived and not been read (TCIFLUSH / PURGE_RXCLEAR).
    Result DiscardInput();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace kivro::platform
