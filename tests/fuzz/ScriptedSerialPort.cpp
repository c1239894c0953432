// The scripted serial port backend (see ScriptedSerialPort.h). Every transfer
// completes at once, its event set as a real completion sets it, so the
// engine's own wait-and-finish path runs unchanged. Modem lines do not exist
// here, as on a pty: a scripted port is always the USB kind.
#include "ScriptedSerialPort.h"

#include <cerrno>
#include <cstring>

#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace kivro::fuzz {
namespace {

struct Script {
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint32_t readLimit = 0;
    size_t written = 0;
};
Script script;

}  // namespace

void SetPhoneScript(const uint8_t* data, size_t size, uint32_t readLimit) {
    script = {data, size, readLimit, 0};
}

size_t PhoneScriptLeft() {
    return script.size;
}
size_t PhoneBytesWritten() {
    return script.written;
}

}  // namespace kivro::fuzz

namespace kivro::platform {

using fuzz::script;

struct SerialPort::State {
    bool open = false;
    Result last{EBADF};
    uint32_t lastTransferred = 0;
    Result Settle(Result result, uint32_t moved) {
        last = result;
        lastTransferred = moved;
        return result;
    }
};

SerialPort::SerialPort() : state_(std::make_unique<State>()) {}
SerialPort::~SerialPort() = default;
SerialPort::SerialPort(SerialPort&&) noexcept = default;
SerialPort& SerialPort::operator=(SerialPort&&) noexcept = default;

Result SerialPort::Open(const char* name, bool& configureFailed) {
    if (!state_) state_ = std::make_unique<State>();
    state_->open = false;
    configureFailed = false;
    if (std::strcmp(name, fuzz::kScriptedPortName) != 0) return Result(ENOENT);
    state_->open = true;
    (void)state_->Settle(Result(EBADF), 0);
    return Result();
}

bool SerialPort::IsOpen() const {
    return state_ && state_->open;
}

void SerialPort::Close() {
    if (state_) state_->open = false;
}

Result SerialPort::StartRead(void* buffer, uint32_t count, Event& done) {
    done.Reset();
    if (!IsOpen()) return Result(EBADF);
    if (script.size == 0) return state_->Settle(Result(EIO), 0);
    size_t n = count < script.size ? count : script.size;
    if (script.readLimit != 0 && n > script.readLimit) n = script.readLimit;
    std::memcpy(buffer, script.data, n);
    script.data += n;
    script.size -= n;
    (void)state_->Settle(Result(), static_cast<uint32_t>(n));
    done.Set();
    return Result();
}

Result SerialPort::StartWrite(const void*, uint32_t count, Event& done) {
    done.Reset();
    if (!IsOpen()) return Result(EBADF);
    script.written += count;
    (void)state_->Settle(Result(), count);
    done.Set();
    return Result();
}

Result SerialPort::Finish(uint32_t& transferred) {
    transferred = state_->lastTransferred;
    return state_->last;
}

bool SerialPort::Pending() const {
    return false;  // every transfer completes at once
}

void SerialPort::Cancel() {}

Result SerialPort::ReadModemLines(uint32_t&) {
    return Result(ENOTTY);
}

Result SerialPort::ArmModemWait(Event&, uint32_t) {
    return Result(ENOTTY);
}

Result SerialPort::DiscardInput() {
    return Result();
}

}  // namespace kivro::platform
