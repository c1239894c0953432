// The serial side of the engine as one object: both kinds of port kept open
// whenever they can be, the phone's server detected on each (CTS and DSR up on
// Bluetooth; the eight hello bytes on USB), and every link byte moved over the
// active port, USB first. The rules of the link live here and nowhere else:
// which port carries the traffic, when a line change ends a transfer (only on
// Bluetooth, and only when the server there is gone), one deadline per transfer,
// what is thrown away after a failed exchange, and when a server must be told
// the sync configuration anew.
//
// Worker thread only, but for ServerConnected, which the user-interface thread
// reads through the engine's queries (hence the two atomics). The events it
// waits on belong to the engine's wait table, so the main loop can wait on them
// with everything else; the channel is handed them at construction.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/Events.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "settings/Settings.h"
#include "text/Text.h"

namespace kivro {

// How one link transfer ended. code is the system's code to report when it
// failed (0: nothing to report, as when the Bluetooth server went); stopped
// says the engine's stop event ended it.
struct LinkOutcome {
    bool ok;
    uint32_t code;
    bool stopped = false;
};

// What the channel tells the engine: its events and error reports, a server
// that came or went (statistics start over; the viewer is let go once no
// server is left), and lines that can no longer be read (the engine stops).
class LinkReports {
  public:
    virtual void LinkEvent(EventCode code, uint32_t value) = 0;
    virtual void LinkText(EventCode code, const char* text) = 0;
    virtual void LinkError(uint32_t messageId, uint32_t code) = 0;
    virtual void ServerChanged() = 0;
    virtual void ClientGone() = 0;
    virtual void LinkBroken() = 0;

  protected:
    ~LinkReports() = default;
};

class LinkChannel {
  public:
    // timeoutMs bounds each transfer as a whole. modemChanged, helloRead and
    // transferDone are set by the ports; stop ends a transfer from outside.
    LinkChannel(LinkReports& reports, uint32_t timeoutMs, platform::Event& modemChanged,
                platform::Event& helloRead, platform::Event& transferDone, platform::Event& stop);
    LinkChannel(const LinkChannel&) = delete;
    LinkChannel& operator=(const LinkChannel&) = delete;

    // Takes the port names and discovery flags for a run, and forgets what the
    // last run left due. Discovered names are the channel's own, never written
    // back into the engine's settings.
    void Configure(const Settings& settings);

    // Opens whichever port is closed (finding it first when its Auto flag is
    // set), announcing it and a server already up on it.
    void OpenPorts();
    void ClosePorts();
    bool BtOpen() const { return btPort_.IsOpen(); }
    bool UsbOpen() const { return usbPort_.IsOpen(); }
    // The USB port is open and still looking for the hello.
    bool UsbSearching() const { return usbPort_.IsOpen() && !usbServer_; }

    // Any thread.
    bool ServerConnected() const { return BtServerUp() || usbServer_; }
    bool UsbServer() const { return usbServer_; }

    // The modem-change event was set: read the lines again and re-arm.
    void ModemChanged();
    // The hello read completed: collect it and search on.
    void HelloReadCompleted();
    // The phone said its USB server is going: the hello search resumes.
    void UsbServerLeft();
    // True once after a server came up however it was found (at open, by its
    // wait, or by a line change inside a transfer): it is told the sync
    // configuration before anything else.
    bool TakeAnnounceDue();

    // Before an exchange: what is left of a reply cut off by a failed one is
    // thrown away on the Bluetooth port.
    void BeforeExchange();
    // Moves count bytes at buffer over the active port within one time-out,
    // waiting on the completion, a modem change and the stop event.
    LinkOutcome Transfer(uint8_t* buffer, uint32_t count, bool write);
    // An exchange failed: the byte stream may be out of step, so both ports
    // close (the engine reopens them) and the Bluetooth one is flushed on its
    // next exchange.
    void ExchangeFailed();

  private:
    bool BtServerUp() const;
    bool OpenPort(platform::SerialPort& port, const char* name);
    void UpdateBtServerState();
    void ReadHelloByte();
    // Collects the hello read; false when it failed or brought no byte.
    bool TakeHelloByte();
    bool CheckHello();
    void SetUsbServerState(bool value);
    void CloseBtPort();
    void CloseUsbPort();

    LinkReports& reports_;
    const uint32_t timeoutMs_;
    platform::Event& modemChanged_;
    platform::Event& helloRead_;
    platform::Event& transferDone_;
    platform::Event& stop_;
    platform::SerialPort btPort_;
    platform::SerialPort usbPort_;
    char btName_[kPathCapacity] = {};
    char usbName_[kPathCapacity] = {};
    bool btAuto_ = false;
    bool usbAuto_ = false;
    std::atomic<uint32_t> modemStatus_{0};
    std::atomic<bool> usbServer_{false};
    bool announceDue_ = false;
    // A failed exchange left part of a reply behind: discard before the next.
    bool btDiscardDue_ = false;
    uint8_t helloWindow_[8] = {};
};

}  // namespace kivro
