// The link's ports and transfers (see LinkChannel.h). A transfer blocks the
// worker, but in a wait that also ends on a modem change or Stop, bounded by
// one time-out for the whole count, so the engine never hangs on a silent or
// trickling phone. Closed ports are retried (and rediscovered when their Auto
// flag is set) on every call of OpenPorts rather than with back-off: a phone
// that comes back is found within a second.
#include "engine/LinkChannel.h"

#include <cstring>

#include "text/Messages.h"
#include "engine/LinkProtocol.h"
#include "platform/System.h"
#include "ports/PortFinder.h"

namespace kivro {

using platform::Result;
using platform::SerialPort;

LinkChannel::LinkChannel(LinkReports& reports, uint32_t timeoutMs, platform::Event& modemChanged,
                         platform::Event& helloRead, platform::Event& transferDone,
                         platform::Event& stop)
    : reports_(reports),
      timeoutMs_(timeoutMs),
      modemChanged_(modemChanged),
      helloRead_(helloRead),
      transferDone_(transferDone),
      stop_(stop) {}

void LinkChannel::Configure(const Settings& settings) {
    TextCopy(btName_, sizeof btName_, settings.BTComPort, sizeof settings.BTComPort);
    TextCopy(usbName_, sizeof usbName_, settings.USBComPort, sizeof settings.USBComPort);
    btAuto_ = settings.BTComAuto;
    usbAuto_ = settings.USBComAuto;
    announceDue_ = btDiscardDue_ = false;
}

void LinkChannel::OpenPorts() {
    if (!btPort_.IsOpen()) {
        bool named = !btAuto_ || FindBTPort(btName_, sizeof btName_);
        if (named && OpenPort(btPort_, btName_)) {
            reports_.LinkText(EV_BT_PORT_OPENED, btName_);
            // A server already up is announced like one that comes up later.
            UpdateBtServerState();
        }
    }
    if (!usbPort_.IsOpen()) {
        bool named = !usbAuto_ || FindUSBPort(usbName_, sizeof usbName_);
        if (named && OpenPort(usbPort_, usbName_)) {
            reports_.LinkText(EV_USB_PORT_OPENED, usbName_);
            std::memset(helloWindow_, 0, sizeof helloWindow_);
            ReadHelloByte();
        }
    }
}

bool LinkChannel::OpenPort(SerialPort& port, const char* name) {
    bool configureFailed = false;
    Result result = port.Open(name, configureFailed);
    if (result.Ok()) return true;
    // A port that is missing, busy or barred is retried in silence.
    if (configureFailed) reports_.LinkError(MSG_ERR_CONFIG_PORT, result.Code());
    return false;
}

bool LinkChannel::BtServerUp() const {
    uint32_t lines = modemStatus_;
    return (lines & platform::kModemCtsOn) && (lines & platform::kModemDsrOn);
}

void LinkChannel::ModemChanged() {
    UpdateBtServerState();
}

void LinkChannel::UpdateBtServerState() {
    bool before = ServerConnected();
    bool btBefore = BtServerUp();
    if (btPort_.IsOpen()) {
        uint32_t status = 0;
        Result result = btPort_.ReadModemLines(status);
        if (result.Ok()) {
            modemStatus_ = status;
            result = btPort_.ArmModemWait(modemChanged_, status);
        }
        if (result.Failed()) {
            reports_.LinkError(MSG_ERR_SERVER_STATE, result.Code());
            reports_.LinkBroken();
        }
    }
    if (BtServerUp() && !btBefore) announceDue_ = true;
    bool after = ServerConnected();
    if (after != before) {
        reports_.LinkEvent(EV_BT_SERVER, after ? 1 : 0);
        reports_.ServerChanged();
    }
}

void LinkChannel::ReadHelloByte() {
    for (;;) {
        std::memmove(helloWindow_, helloWindow_ + 1, sizeof helloWindow_ - 1);
        Result result = usbPort_.StartRead(&helloWindow_[7], 1, helloRead_);
        if (result.Failed()) {
            // A port that cannot even start a read would stay open and deaf: close
            // it so the next pass opens it again.
            reports_.LinkError(MSG_ERR_RECV_SERVER, result.Code());
            CloseUsbPort();
            return;
        }
        // Still pending: the main loop's wait collects it. A byte that was there
        // already is taken here, so stray bytes do not cost a pass each.
        if (usbPort_.Pending()) return;
        if (!TakeHelloByte()) {
            CloseUsbPort();
            return;
        }
        if (CheckHello()) return;
    }
}

bool LinkChannel::TakeHelloByte() {
    uint32_t transferred = 0;
    return usbPort_.Finish(transferred).Ok() && transferred == 1;
}

void LinkChannel::HelloReadCompleted() {
    if (TakeHelloByte()) {
        if (!CheckHello()) ReadHelloByte();
    } else {
        CloseUsbPort();
    }
}

bool LinkChannel::CheckHello() {
    if (std::memcmp(helloWindow_, kUsbHello, sizeof helloWindow_) == 0) SetUsbServerState(true);
    return usbServer_;
}

void LinkChannel::UsbServerLeft() {
    if (!usbServer_) return;
    SetUsbServerState(false);
    ReadHelloByte();  // the search resumes with the window as it was
}

void LinkChannel::SetUsbServerState(bool value) {
    if (value == usbServer_) return;
    usbServer_ = value;
    if (value) announceDue_ = true;
    reports_.LinkEvent(EV_USB_SERVER, value ? 1 : 0);
    reports_.ServerChanged();
}

bool LinkChannel::TakeAnnounceDue() {
    bool due = announceDue_;
    announceDue_ = false;
    return due;
}

void LinkChannel::BeforeExchange() {
    if (!btDiscardDue_ || usbServer_) return;
    btDiscardDue_ = false;
    // A port that cannot even do this fails its exchange next.
    (void)btPort_.DiscardInput();
}

LinkOutcome LinkChannel::Transfer(uint8_t* buffer, uint32_t count, bool write) {
    SerialPort& port = usbServer_ ? usbPort_ : btPort_;
    const bool onBt = &port == &btPort_;
    const platform::Waitable set[3] = {transferDone_.Handle(), modemChanged_.Handle(),
                                       stop_.Handle()};
    // One deadline for the whole count: a phone that trickles a byte now and
    // then must not hold the link for ever.
    const uint32_t start = platform::TickCount();
    uint32_t offset = 0;
    bool pending = false;
    // The event needs no reset here: the next start resets it, and nothing
    // else waits on it.
    auto collect = [&]() {
        pending = false;
        uint32_t transferred = 0;
        Result finished = port.Finish(transferred);
        offset += transferred;
        count -= transferred;
        return finished;
    };
    while (count > 0) {
        if (!pending) {
            Result started = write ? port.StartWrite(buffer + offset, count, transferDone_)
                                   : port.StartRead(buffer + offset, count, transferDone_);
            if (started.Failed()) return {false, started.Code()};
            if (!port.Pending()) {
                // Done at once: collected without a wait, which would only have
                // answered with this transfer's event, the first in its list.
                if (Result finished = collect(); finished.Failed()) return {false, finished.Code()};
                continue;
            }
            pending = true;
        }
        uint32_t elapsed = platform::TickCount() - start;
        uint32_t left = elapsed >= timeoutMs_ ? 0 : timeoutMs_ - elapsed;
        int signalled = platform::kWaitTimeout;
        Result waited = platform::WaitAny(set, 3, left, signalled);
        if (waited.Failed()) {
            port.Cancel();
            return {false, waited.Code()};
        }
        switch (signalled) {
            case 0:
                if (Result finished = collect(); finished.Failed()) return {false, finished.Code()};
                break;
            case 1:
                // The Bluetooth lines changed. The state follows them at once, but
                // the transfer goes on unless it runs over Bluetooth and the
                // server there is gone; a failed read of the lines stops the
                // engine, which the stop event then ends here.
                modemChanged_.Reset();
                UpdateBtServerState();
                announceDue_ = true;
                if (onBt && !BtServerUp()) {
                    port.Cancel();
                    return {false, 0};
                }
                break;
            case 2:
                stop_.Reset();
                port.Cancel();
                return {false, 0, true};
            default:  // kWaitTimeout
                port.Cancel();
                return {false, platform::ErrorCodes::Timeout};
        }
    }
    return {true, 0};
}

void LinkChannel::ExchangeFailed() {
    ClosePorts();
    // What the phone already sent of its reply waits in the Bluetooth port when
    // it opens again; read as a header it would stop the engine. (USB's hello
    // search throws such bytes away by itself.)
    btDiscardDue_ = true;
}

void LinkChannel::CloseBtPort() {
    if (!btPort_.IsOpen()) return;
    if (BtServerUp()) {
        reports_.LinkEvent(EV_BT_SERVER, 0);
        reports_.ClientGone();
    }
    modemStatus_ = 0;
    btPort_.Close();
    reports_.LinkEvent(EV_MESSAGE, MSG_LOST_BT_PORT);
}

void LinkChannel::CloseUsbPort() {
    if (!usbPort_.IsOpen()) return;
    SetUsbServerState(false);
    usbPort_.Close();
    reports_.LinkEvent(EV_MESSAGE, MSG_LOST_USB_PORT);
}

void LinkChannel::ClosePorts() {
    CloseBtPort();
    CloseUsbPort();
}

}  // namespace kivro
