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
    IoResult last{IoStatus::Failed, 0, EBADF};
};

SerialPort::SerialPort() : state_(std::make_unique<State>()) {}
SerialPort::~SerialPort() = default;
SerialPort::SerialPort(SerialPort&&) noexcept = default;
SerialPort& SerialPort::operator=(SerialPort&&) noexcept = default;

SerialOpen SerialPort::Open(const char* name, uint32_t& code) {
    if (!state_) state_ = std::make_unique<State>();
    state_->open = false;
    if (std::strcmp(name, fuzz::kScriptedPortName) != 0) {
        code = ENOENT;
        return SerialOpen::NotFound;
    }
    state_->open = true;
    state_->last = {IoStatus::Failed, 0, EBADF};
    code = 0;
    return SerialOpen::Opened;
}

bool SerialPort::IsOpen() const {
    return state_ && state_->open;
}

void SerialPort::Close() {
    if (state_) state_->open = false;
}

IoResult SerialPort::StartRead(void* buffer, uint32_t count, Event& done) {
    done.Reset();
    if (!IsOpen()) return {IoStatus::Failed, 0, EBADF};
    if (script.size == 0) return state_->last = {IoStatus::Failed, 0, EIO};
    size_t n = count < script.size ? count : script.size;
    if (script.readLimit != 0 && n > script.readLimit) n = script.readLimit;
    std::memcpy(buffer, script.data, n);
    script.data += n;
    script.size -= n;
    state_->last = {IoStatus::Done, static_cast<uint32_t>(n), 0};
    done.Set();
    return state_->last;
}

IoResult SerialPort::StartWrite(const void*, uint32_t count, Event& done) {
    done.Reset();
    if (!IsOpen()) return {IoStatus::Failed, 0, EBADF};
    script.written += count;
    state_->last = {IoStatus::Done, count, 0};
    done.Set();
    return state_->last;
}

IoResult SerialPort::Finish() {
    return state_->last;
}

void SerialPort::Cancel() {}

bool SerialPort::ReadModemLines(uint32_t&, uint32_t& code) {
    code = ENOTTY;
    return false;
}

bool SerialPort::ArmModemWait(Event&, uint32_t, uint32_t& code) {
    code = ENOTTY;
    return false;
}

bool SerialPort::DiscardInput(uint32_t& code) {
    code = 0;
    return true;
}

}  // namespace kivro::platform
