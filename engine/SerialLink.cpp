// The serial side of the engine: both kinds of port kept open whenever they can
// be, the phone's server detected on each (CTS and DSR up on Bluetooth; the
// eight hello bytes on USB), and every link byte moved by LinkTransfer over the
// active port, USB first. A transfer blocks the worker, but in a wait that also
// ends on a modem change or Stop, bounded by the link time-out, so the engine
// never hangs on a silent phone. Closed ports are retried (and rediscovered when
// their Auto flag is set) on every pass rather than with back-off: a phone that
// comes back is found within a second.
#include "engine/Proxy.h"
#include "platform/System.h"
#include "ports/PortFinder.h"
#include "text/Messages.h"

#include <cstring>

namespace kivro {

using platform::IoResult;
using platform::IoStatus;
using platform::SerialOpen;
using platform::SerialPort;

void Proxy::OpenPorts() {
    if (!btPort_.IsOpen()) {
        // Discovery writes into this engine's copy only, on every attempt.
        bool named = !settings_.BTComAuto || FindBTPort(settings_.BTComPort, kPathCapacity);
        if (named && OpenSerialPort(btPort_, settings_.BTComPort)) {
            PostText(EV_BT_PORT_OPENED, settings_.BTComPort);
            // A server already up is announced like one that comes up later.
            UpdateBtServerState();
        }
    }
    if (!usbPort_.IsOpen()) {
        bool named = !settings_.USBComAuto || FindUSBPort(settings_.USBComPort, kPathCapacity);
        if (named && OpenSerialPort(usbPort_, settings_.USBComPort)) {
            PostText(EV_USB_PORT_OPENED, settings_.USBComPort);
            std::memset(helloWindow_, 0, sizeof helloWindow_);
            ReadHelloByte();
        }
    }
}

bool Proxy::AnyPortOpen() const {
    return btPort_.IsOpen() || usbPort_.IsOpen();
}

bool Proxy::OpenSerialPort(SerialPort& port, const char* name) {
    uint32_t code = 0;
    switch (port.Open(name, code)) {
        case SerialOpen::Opened:
            return true;
        case SerialOpen::ConfigureFailed:
            ReportSystemError(MSG_ERR_CONFIG_PORT, code);
            return false;
        case SerialOpen::NotFound:
            break;
    }
    return false;
}

bool Proxy::BtServerUp() const {
    uint32_t lines = modemStatus_;
    return (lines & kModemCtsOn) && (lines & kModemDsrOn);
}

uint32_t Proxy::UpdateBtServerState() {
    bool before = ServerConnected();
    bool btBefore = BtServerUp();
    uint32_t code = 0;
    if (btPort_.IsOpen()) {
        uint32_t status = 0;
        bool ok = btPort_.ReadModemLines(status, code);
        if (ok) {
            modemStatus_ = status;
            ok = btPort_.ArmModemWait(events_[SLOT_MODEM], status, code);
        }
        if (!ok) {
            ReportSystemError(MSG_ERR_SERVER_STATE, code);
            Stop();
        }
    }
    if (BtServerUp() && !btBefore) announceDue_ = true;
    bool after = ServerConnected();
    if (after != before) {
        PostEvent(EV_BT_SERVER, after ? 1 : 0);
        ResetStatistics();
        if (!after) CloseClient();
    }
    return code;
}

void Proxy::ReadHelloByte() {
    for (;;) {
        std::memmove(helloWindow_, helloWindow_ + 1, sizeof helloWindow_ - 1);
        IoResult r = usbPort_.StartRead(&helloWindow_[7], 1, events_[SLOT_HELLO]);
        if (r.Status == IoStatus::Pending) return;
        if (r.Status == IoStatus::Done && r.Transferred == 1) {
            if (CheckHello()) return;
            continue;
        }
        // A port that cannot even start a read would stay open and deaf: close it
        // so the next pass opens it again.
        if (r.Status == IoStatus::Failed) ReportSystemError(MSG_ERR_RECV_SERVER, r.Code);
        CloseUsbPort();
        return;
    }
}

void Proxy::HelloReadCompleted() {
    IoResult r = usbPort_.Finish();
    if (r.Status == IoStatus::Done && r.Transferred == 1) {
        if (!CheckHello()) ReadHelloByte();
    } else {
        CloseUsbPort();
    }
}

bool Proxy::CheckHello() {
    if (std::memcmp(helloWindow_, kUsbHello, sizeof helloWindow_) == 0) SetUsbServerState(true);
    return usbServer_;
}

void Proxy::SetUsbServerState(bool value) {
    if (value == usbServer_) return;
    usbServer_ = value;
    ResetStatistics();
    if (value) announceDue_ = true;
    PostEvent(EV_USB_SERVER, value ? 1 : 0);
    if (!ServerConnected()) CloseClient();
}

SerialPort& Proxy::ActivePort() {
    return usbServer_ ? usbPort_ : btPort_;
}

LinkOutcome Proxy::LinkTransfer(uint32_t count, uint32_t offset, bool write) {
    SerialPort& port = ActivePort();
    const bool onBt = &port == &btPort_;
    const platform::Waitable set[3] = {waits_[SLOT_LINK], waits_[SLOT_MODEM], waits_[SLOT_STOP]};
    // One deadline for the whole count: a phone that trickles a byte now and
    // then must not hold the link for ever.
    const uint32_t start = platform::TickCount();
    bool pending = false;
    while (count > 0) {
        if (!pending) {
            IoResult r = write ? port.StartWrite(frame_ + offset, count, events_[SLOT_LINK])
                               : port.StartRead(frame_ + offset, count, events_[SLOT_LINK]);
            if (r.Status == IoStatus::Failed) return {false, r.Code};
            pending = true;  // done at once too: its event is set, collected below
        }
        uint32_t elapsed = platform::TickCount() - start;
        uint32_t left = elapsed >= linkTimeoutMs_ ? 0 : linkTimeoutMs_ - elapsed;
        int result = platform::WaitAny(set, 3, left);
        switch (result) {
            case 0: {
                events_[SLOT_LINK].Reset();
                pending = false;
                IoResult r = port.Finish();
                if (r.Status != IoStatus::Done) return {false, r.Code};
                offset += r.Transferred;
                count -= r.Transferred;
                break;
            }
            case 1:
                // The Bluetooth lines changed. The state follows them at once, but
                // the transfer goes on unless it runs over Bluetooth and the
                // server there is gone; a failed read of the lines stops the
                // engine, which the stop event then ends here.
                events_[SLOT_MODEM].Reset();
                UpdateBtServerState();
                announceDue_ = true;
                if (onBt && !BtServerUp()) {
                    port.Cancel();
                    return {false, 0};
                }
                break;
            case 2:
                events_[SLOT_STOP].Reset();
                port.Cancel();
                stopFlag_ = true;
                return {false, 0};
            case platform::kWaitTimeout:
                port.Cancel();
                return {false, platform::ErrorCodes::Timeout};
            default: {
                uint32_t code = platform::LastError();
                port.Cancel();
                return {false, code};
            }
        }
    }
    return {true, 0};
}

void Proxy::CloseBtPort() {
    if (!btPort_.IsOpen()) return;
    if (BtServerUp()) {
        PostEvent(EV_BT_SERVER, 0);
        CloseClient();
    }
    modemStatus_ = 0;
    btPort_.Close();
    PostEvent(EV_MESSAGE, MSG_LOST_BT_PORT);
}

void Proxy::CloseUsbPort() {
    if (!usbPort_.IsOpen()) return;
    SetUsbServerState(false);
    usbPort_.Close();
    PostEvent(EV_MESSAGE, MSG_LOST_USB_PORT);
}

void Proxy::ClosePorts() {
    CloseBtPort();
    CloseUsbPort();
}

void Proxy::DiscardStaleReply() {
    if (!btDiscardDue_ || usbServer_) return;
    btDiscardDue_ = false;
    uint32_t code = 0;
    btPort_.DiscardInput(code);  // a port that cannot even do this fails its exchange next
}

}  // namespace kivro
