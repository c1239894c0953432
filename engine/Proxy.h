// The engine: one Proxy object connects a VNC viewer (TCP) with the phone's VNC
// server (serial link). The user-interface thread only calls the virtual
// operations below; all other work runs on the engine's own worker thread, which
// reports through the EngineEvents sink. There are no locks: the stop event is the
// only way in, and the queries read single atomic fields.
//
// The implementation is split by concern: Proxy.cpp (start, stop, queries,
// release, events), ClientConnection.cpp (the viewer), WorkerLoop.cpp (the main
// loop), SerialLink.cpp (serial ports and link exchange), SyncTransfer.cpp (the
// hooks into FileSync, which holds the sync folder's watch and monitor and the
// file transfers both ways, with their rules: FileSync.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/Events.h"
#include "engine/FileSync.h"
#include "engine/LinkProtocol.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "settings/Settings.h"

namespace kivro {

// Positions in the engine's table of waitables. The main loop's wait set is built
// from these in its own order.
enum WaitSlot : int {
    SLOT_LISTENER = 0,    // a viewer connection waits to be accepted
    SLOT_CLIENT = 1,      // the viewer sent data or closed
    SLOT_MODEM = 2,       // the Bluetooth port's CTS or DSR changed
    SLOT_HELLO = 3,       // the one-byte hello read on the USB port completed
    SLOT_LINK = 4,        // a link read or write completed
    SLOT_DIR_CHANGE = 5,  // the sync directory changed (a change notification, not an Event)
    SLOT_STOP = 6,        // Stop was requested
    kWaitSlotCount = 7,
};

// Modem-line bits of the Bluetooth port's status, as Windows numbers them.
constexpr uint32_t kModemCtsOn = 0x10;
constexpr uint32_t kModemDsrOn = 0x20;

// How one link transfer ended: code is the system's code to report when it
// failed (0: nothing to report, as after a stop or the Bluetooth server going).
struct LinkOutcome {
    bool ok;
    uint32_t code;
};

class Proxy {
  public:
    // linkTimeoutMs bounds every wait on the link and on a slow viewer; tests lower it.
    explicit Proxy(uint32_t linkTimeoutMs = 60000);
    // Stops the worker and waits for its end: the worker uses this object.
    virtual ~Proxy();
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    // User-interface thread only. Copies settings, creates events and the listener,
    // starts the worker. False after reporting the failure and releasing
    // everything; also false, without a report, while the engine is running.
    // sink may be nullptr (nothing is posted); it must outlive the worker.
    virtual bool Start(EngineEvents* sink, const Settings& settings);
    // Asks the worker to end after its current pass; does not wait.
    virtual void Stop();
    // Stop, then up to 20 waits of 100 ms for the worker's end.
    virtual void Shutdown();
    virtual bool Running() const;
    virtual bool ClientConnected() const;
    virtual bool ServerConnected() const;
    virtual bool SyncEnabled() const;

  protected:
    // ---- events and error reports (Proxy.cpp); any thread that runs the engine
    void PostEvent(EventCode code, uint32_t value);
    void PostText(EventCode code, const char* text);  // the event's value is 1
    void PostStatistics();
    // Record the error; post it unless code is 0. Without a code: LastError() /
    // LastSocketError() of the calling thread.
    void ReportSystemError(uint32_t messageId);
    void ReportSystemError(uint32_t messageId, uint32_t code);
    void ReportSocketError(uint32_t messageId);
    void ReportSocketError(uint32_t messageId, uint32_t code);

    // Closes everything the worker used but the stop event, which only the
    // user-interface thread closes; Running is false afterwards (Proxy.cpp).
    void ReleaseAll();
    void ResetStatistics();

    // ---- the main loop (WorkerLoop.cpp)
    static void WorkerProcedure(void* self);
    void WorkerLoop();
    static uint32_t Rate(uint32_t bytes, uint32_t elapsedMs);

    // ---- the viewer (ClientConnection.cpp)
    void AcceptClient();
    // Receives into the frame's payload area. Returns the byte count (> 0), 0 when
    // nothing was there, or -1 when the connection ended (CloseClient has run).
    int ReceiveFromClient();
    // Sends count bytes from buffer + offset to the viewer; dropped without one.
    void SendToClient(const uint8_t* buffer, size_t offset, size_t count);
    void CloseClient();

    // ---- serial ports and the link (SerialLink.cpp)
    void OpenPorts();
    void ClosePorts();
    bool AnyPortOpen() const;
    // Opens and configures one port; reports only a configuration failure (3004).
    bool OpenSerialPort(platform::SerialPort& port, const char* name);
    // Re-reads the Bluetooth modem lines and re-arms the wait for their change.
    // Returns the failure's system code (reported, engine stopping), else 0.
    uint32_t UpdateBtServerState();
    // Moves the hello window on by one byte per byte read; returns with a read
    // pending (or the hello found, or the USB port closed after a failed read).
    void ReadHelloByte();
    // The hello read of slot 3 completed: collect it and search on.
    void HelloReadCompleted();
    bool CheckHello();
    void SetUsbServerState(bool value);
    // Moves count bytes at frame_ + offset over the active port within one link
    // time-out, waiting on the completion, a modem change and the stop event.
    LinkOutcome LinkTransfer(uint32_t count, uint32_t offset, bool write);
    // CTS and DSR both on, as last read.
    bool BtServerUp() const;
    // Before an exchange: the rest of a reply cut off by a failed exchange is
    // thrown away on the Bluetooth port.
    void DiscardStaleReply();
    platform::SerialPort& ActivePort();
    void CloseBtPort();
    void CloseUsbPort();

    // ---- the link protocol (LinkExchange.cpp)
    // One exchange with the frame built in frame_ (type and payload). True when
    // the reply carried data, so the next pass polls at once.
    bool LinkExchange(uint32_t length);
    void HandleServerMessage(uint32_t length);

    // ---- file synchronisation (SyncTransfer.cpp; the work is FileSync's)
    // Start's synchronisation step: the change notification, the directory
    // monitor and its excludes. Reports its own failure (3011, 3012), false then.
    bool OpenSync();
    // ReleaseAll's part: closes the change notification and the transfer file,
    // so nothing stays locked and a new Start is clean.
    void CloseSync();
    // Fills frame_ with the next file message: type and payload; false for none.
    bool NextSyncMessage(uint32_t& length);
    void ReceiveFileStart(uint32_t length);
    void ReceiveFileData(uint32_t length);
    void ReceiveFileEnd();
    // Slot 5 was signalled: re-arm the notification and rescan the directory.
    void DirectoryChanged();
    // Once a second from the main loop: a lost folder watch, a broken incoming file.
    void SyncTick(uint32_t now);
    // The sync configuration went to a newly connected server.
    void SyncServerConnected(uint32_t now);

    // ---- fields
    const uint32_t linkTimeoutMs_;
    Settings settings_{};
    EngineEvents* sink_ = nullptr;
    EngineError lastError_{};
    platform::TcpListener listener_;
    platform::TcpConnection client_;
    platform::SerialPort btPort_;
    platform::SerialPort usbPort_;
    platform::Thread worker_;
    // Slots 0-4 and 6 are events; slot 5 stays unset here and is the change
    // notification's waitable when synchronisation is on.
    platform::Event events_[kWaitSlotCount];
    platform::Waitable waits_[kWaitSlotCount];
    std::atomic<uint32_t> modemStatus_{0};
    std::atomic<bool> usbServer_{false};
    // The phone's server came up since the loop last looked (a hello on USB,
    // CTS and DSR on Bluetooth, or a line change inside a transfer): it must be
    // told the sync configuration first, however it was found.
    bool announceDue_ = false;
    // A failed exchange left part of a reply behind: discard before the next.
    bool btDiscardDue_ = false;
    bool stopFlag_ = false;
    uint8_t helloWindow_[8] = {};
    uint32_t syncFlags_ = 0;
    uint8_t frame_[kLinkFrameSize] = {};
    char syncDir_[kPathCapacity] = {};
    // FileSync's reports become the engine's events and error reports.
    struct SyncReports final : FileSyncReports {
        explicit SyncReports(Proxy& proxy) : proxy(proxy) {}
        void SyncEvent(EventCode code, uint32_t value) override { proxy.PostEvent(code, value); }
        void SyncText(EventCode code, const char* text) override { proxy.PostText(code, text); }
        void SyncError(uint32_t messageId, uint32_t code) override {
            proxy.ReportSystemError(messageId, code);
        }
        Proxy& proxy;
    };
    SyncReports syncReports_{*this};
    FileSync fileSync_{syncReports_};
    uint32_t agreedLimit_ = 0;
    uint32_t localLimit_ = 0;
    uint32_t receivedTotal_ = 0;
    uint32_t sentTotal_ = 0;
    TrafficStats stats_{};

    // What the user-interface thread reads; written only by the owner of the state.
    std::atomic<bool> running_{false};
    std::atomic<bool> clientConnected_{false};
    std::atomic<bool> syncEnabled_{false};

    friend struct ProxyTestAccess;  // tests drive protected operations through it
};

}  // namespace kivro
