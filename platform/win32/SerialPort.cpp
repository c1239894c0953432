// Win32 serial ports: a COM port opened without sharing for overlapped I/O, with
// queues of 16384/8192 bytes, all time-outs zero (a read waits for all its bytes)
// and CTS/DSR in the event mask. The transfer and the modem wait each have an
// OVERLAPPED of their own that lives as long as the port object, so an operation
// the system still completes after a cancel never writes into freed memory.
#include "platform/SerialPort.h"

#include <windows.h>

#include <cstring>

#include "platform/Event.h"

namespace kivro::platform {

struct SerialPort::State {
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED transfer{};
    bool pending = false;  // the transfer's result has not been collected
    // What Finish gives once nothing is pending: the last transfer's outcome.
    Result last{ERROR_INVALID_HANDLE};
    DWORD lastTransferred = 0;
    OVERLAPPED modemWait{};
    DWORD commEvents = 0;  // written by WaitCommEvent when it completes
    bool modemArmed = false;

    Result Settle(Result result, DWORD moved) {
        last = result;
        lastTransferred = result.Ok() ? moved : 0;
        return result;
    }
};

namespace {

// The failure a call that returned FALSE just left. A failure must never read
// as success, so a call that left no code (none should) counts as a general one.
Result LastFailure() {
    DWORD code = GetLastError();
    return Result(code != 0 ? code : ERROR_GEN_FAILURE);
}

// The outcome of an overlapped ReadFile/WriteFile call just made. One that
// completed at once has set its event already, as every completion does.
Result Started(SerialPort::State& s, BOOL ok) {
    if (ok) {
        DWORD done = 0;
        GetOverlappedResult(s.port, &s.transfer, &done, FALSE);
        return s.Settle(Result(), done);
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        s.pending = true;
        return Result();
    }
    return s.Settle(LastFailure(), 0);
}

}  // namespace

SerialPort::SerialPort() : state_(std::make_unique<State>()) {}
SerialPort::~SerialPort() {
    Close();
}
SerialPort::SerialPort(SerialPort&&) noexcept = default;
SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        Close();
        state_ = std::move(other.state_);
    }
    return *this;
}

Result SerialPort::Open(const char* name, bool& configureFailed) {
    Close();
    configureFailed = false;
    if (!state_) state_ = std::make_unique<State>();
    char path[4 + 256] = "\\\\.\\";
    size_t length = strnlen(name, 255);
    std::memcpy(path + 4, name, length);
    path[4 + length] = '\0';

    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, &security, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return LastFailure();
    COMMTIMEOUTS timeouts{};  // all zero: no time-outs
    if (!SetupComm(port, 16384, 8192) || !SetCommTimeouts(port, &timeouts) ||
        !SetCommMask(port, EV_CTS | EV_DSR)) {
        Result failure = LastFailure();
        CloseHandle(port);
        configureFailed = true;
        return failure;
    }
    state_->port = port;
    state_->pending = false;
    state_->last = Result(ERROR_INVALID_HANDLE);
    state_->lastTransferred = 0;
    return Result();
}

bool SerialPort::IsOpen() const {
    return state_ && state_->port != INVALID_HANDLE_VALUE;
}

void SerialPort::Close() {
    if (!IsOpen()) return;
    Cancel();
    // Closing ends a pending WaitCommEvent; its OVERLAPPED stays ours.
    CloseHandle(state_->port);
    state_->port = INVALID_HANDLE_VALUE;
    state_->modemArmed = false;
}

Result SerialPort::StartRead(void* buffer, uint32_t count, Event& done) {
    State& s = *state_;
    if (!IsOpen()) return s.Settle(Result(ERROR_INVALID_HANDLE), 0);
    if (s.pending) return Result(ERROR_BUSY);
    std::memset(&s.transfer, 0, sizeof s.transfer);
    s.transfer.hEvent = done.Handle().Raw();
    return Started(s, ReadFile(s.port, buffer, count, nullptr, &s.transfer));
}

Result SerialPort::StartWrite(const void* buffer, uint32_t count, Event& done) {
    State& s = *state_;
    if (!IsOpen()) return s.Settle(Result(ERROR_INVALID_HANDLE), 0);
    if (s.pending) return Result(ERROR_BUSY);
    std::memset(&s.transfer, 0, sizeof s.transfer);
    s.transfer.hEvent = done.Handle().Raw();
    return Started(s, WriteFile(s.port, buffer, count, nullptr, &s.transfer));
}

Result SerialPort::Finish(uint32_t& transferred) {
    State& s = *state_;
    if (s.pending) {
        s.pending = false;
        DWORD done = 0;
        if (!GetOverlappedResult(s.port, &s.transfer, &done, TRUE))
            (void)s.Settle(LastFailure(), 0);
        else
            (void)s.Settle(Result(), done);
    }
    transferred = s.lastTransferred;
    return s.last;
}

bool SerialPort::Pending() const {
    return state_ && state_->pending;
}

void SerialPort::Cancel() {
    if (!IsOpen() || !state_->pending) return;
    CancelIo(state_->port);
    // Collect the aborted transfer (995) so its OVERLAPPED can be reused at once.
    uint32_t ignored = 0;
    (void)Finish(ignored);
}

Result SerialPort::ReadModemLines(uint32_t& status) {
    if (!IsOpen()) return Result(ERROR_INVALID_HANDLE);
    DWORD lines = 0;
    if (!GetCommModemStatus(state_->port, &lines)) return LastFailure();
    status = lines;
    return Result();
}

Result SerialPort::ArmModemWait(Event& changed, uint32_t lastStatus) {
    State& s = *state_;
    if (!IsOpen()) return Result(ERROR_INVALID_HANDLE);
    if (s.modemArmed && !HasOverlappedIoCompleted(&s.modemWait)) {
        // Setting the mask again completes the pending wait, freeing its OVERLAPPED.
        DWORD ignored = 0;
        SetCommMask(s.port, EV_CTS | EV_DSR);
        GetOverlappedResult(s.port, &s.modemWait, &ignored, TRUE);
    }
    std::memset(&s.modemWait, 0, sizeof s.modemWait);
    s.modemWait.hEvent = changed.Handle().Raw();
    if (!WaitCommEvent(s.port, &s.commEvents, &s.modemWait) && GetLastError() != ERROR_IO_PENDING)
        return LastFailure();
    s.modemArmed = true;
    // WaitCommEvent sees only changes after it was called: one since the
    // caller's read is caught here. The wait stays pending; re-arming ends it.
    DWORD lines = 0;
    if (!GetCommModemStatus(s.port, &lines) ||
        ((lines ^ lastStatus) & (MS_CTS_ON | MS_DSR_ON)) != 0)
        SetEvent(s.modemWait.hEvent);
    return Result();
}

Result SerialPort::DiscardInput() {
    if (!IsOpen()) return Result(ERROR_INVALID_HANDLE);
    if (!PurgeComm(state_->port, PURGE_RXCLEAR)) return LastFailure();
    return Result();
}

}  // namespace kivro::platform
