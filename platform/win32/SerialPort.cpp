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
    IoResult last{IoStatus::Failed, 0, ERROR_INVALID_HANDLE};
    OVERLAPPED modemWait{};
    DWORD commEvents = 0;  // written by WaitCommEvent when it completes
    bool modemArmed = false;
};

namespace {

IoResult Failure(DWORD error) {
    SetLastError(error);
    return {IoStatus::Failed, 0, error};
}

// The result of an overlapped ReadFile/WriteFile call just made.
IoResult Started(SerialPort::State& s, BOOL ok) {
    if (ok) {
        DWORD done = 0;
        GetOverlappedResult(s.port, &s.transfer, &done, FALSE);
        return s.last = {IoStatus::Done, done, 0};
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        s.pending = true;
        return {IoStatus::Pending, 0, 0};
    }
    return s.last = Failure(error);
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

SerialOpen SerialPort::Open(const char* name, uint32_t& code) {
    Close();
    if (!state_) state_ = std::make_unique<State>();
    char path[4 + 256] = "\\\\.\\";
    size_t length = strnlen(name, 255);
    std::memcpy(path + 4, name, length);
    path[4 + length] = '\0';

    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, &security, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        return SerialOpen::NotFound;
    }
    COMMTIMEOUTS timeouts{};  // all zero: no time-outs
    if (!SetupComm(port, 16384, 8192) || !SetCommTimeouts(port, &timeouts) ||
        !SetCommMask(port, EV_CTS | EV_DSR)) {
        code = GetLastError();
        CloseHandle(port);
        SetLastError(code);
        return SerialOpen::ConfigureFailed;
    }
    state_->port = port;
    state_->pending = false;
    state_->last = {IoStatus::Failed, 0, ERROR_INVALID_HANDLE};
    code = 0;
    return SerialOpen::Opened;
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

IoResult SerialPort::StartRead(void* buffer, uint32_t count, Event& done) {
    State& s = *state_;
    if (!IsOpen()) return s.last = Failure(ERROR_INVALID_HANDLE);
    if (s.pending) return Failure(ERROR_BUSY);
    std::memset(&s.transfer, 0, sizeof s.transfer);
    s.transfer.hEvent = done.Handle().Raw();
    return Started(s, ReadFile(s.port, buffer, count, nullptr, &s.transfer));
}

IoResult SerialPort::StartWrite(const void* buffer, uint32_t count, Event& done) {
    State& s = *state_;
    if (!IsOpen()) return s.last = Failure(ERROR_INVALID_HANDLE);
    if (s.pending) return Failure(ERROR_BUSY);
    std::memset(&s.transfer, 0, sizeof s.transfer);
    s.transfer.hEvent = done.Handle().Raw();
    return Started(s, WriteFile(s.port, buffer, count, nullptr, &s.transfer));
}

IoResult SerialPort::Finish() {
    State& s = *state_;
    if (!s.pending) return s.last;
    s.pending = false;
    DWORD done = 0;
    if (!GetOverlappedResult(s.port, &s.transfer, &done, TRUE))
        return s.last = Failure(GetLastError());
    return s.last = {IoStatus::Done, done, 0};
}

void SerialPort::Cancel() {
    if (!IsOpen() || !state_->pending) return;
    CancelIo(state_->port);
    // Collect the aborted transfer (995) so its OVERLAPPED can be reused at once.
    Finish();
}

bool SerialPort::ReadModemLines(uint32_t& status, uint32_t& code) {
    DWORD lines = 0;
    if (IsOpen() && GetCommModemStatus(state_->port, &lines)) {
        status = lines;
        code = 0;
        return true;
    }
    code = IsOpen() ? GetLastError() : ERROR_INVALID_HANDLE;
    SetLastError(code);
    return false;
}

bool SerialPort::ArmModemWait(Event& changed, uint32_t lastStatus, uint32_t& code) {
    State& s = *state_;
    if (!IsOpen()) {
        code = ERROR_INVALID_HANDLE;
        SetLastError(code);
        return false;
    }
    if (s.modemArmed && !HasOverlappedIoCompleted(&s.modemWait)) {
        // Setting the mask again completes the pending wait, freeing its OVERLAPPED.
        DWORD ignored = 0;
        SetCommMask(s.port, EV_CTS | EV_DSR);
        GetOverlappedResult(s.port, &s.modemWait, &ignored, TRUE);
    }
    std::memset(&s.modemWait, 0, sizeof s.modemWait);
    s.modemWait.hEvent = changed.Handle().Raw();
    if (WaitCommEvent(s.port, &s.commEvents, &s.modemWait) || GetLastError() == ERROR_IO_PENDING) {
        s.modemArmed = true;
        // WaitCommEvent sees only changes after it was called: one since the
        // caller's read is caught here. The wait stays pending; re-arming ends it.
        DWORD lines = 0;
        if (!GetCommModemStatus(s.port, &lines) ||
            ((lines ^ lastStatus) & (MS_CTS_ON | MS_DSR_ON)) != 0)
            SetEvent(s.modemWait.hEvent);
        code = 0;
        return true;
    }
    code = GetLastError();
    return false;
}

bool SerialPort::DiscardInput(uint32_t& code) {
    if (IsOpen() && PurgeComm(state_->port, PURGE_RXCLEAR)) {
        code = 0;
        return true;
    }
    code = IsOpen() ? GetLastError() : ERROR_INVALID_HANDLE;
    SetLastError(code);
    return false;
}

}  // namespace kivro::platform
