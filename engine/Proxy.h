// The engine: one Proxy object connects a VNC viewer (TCP) with the phone's VNC
// server (serial link). The user-interface thread only calls the virtual
// operations below; all other work runs on the engine's own worker thread, which
// reports through the EngineEvents sink. There are no locks: the stop event is the
// only way in, and the queries read single atomic fields.
//
// The implementation is split by concern: Proxy.cpp (start, stop, queries,
// release, events), ClientConnection.cpp (the viewer), WorkerLoop.cpp (the main
// loop), LinkExchange.cpp (one exchange of frames and the reply's handling),
// SyncTransfer.cpp (the hooks into FileSync). Two objects hold the rest with
// their rules: LinkChannel (the serial ports, the phone's server on each, and
// every transfer over them: LinkChannel.h) and FileSync (the sync folder's
// watch and monitor and the file transfers both ways: FileSync.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/Events.h"
#include "engine/FileSync.h"
#include "engine/LinkChannel.h"
#include "engine/LinkProtocol.h"
#include "platform/Event.h"
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
    platform::Thread worker_;
    // Slots 0-4 and 6 are events; slot 5 stays unset here and is the change
    // notification's waitable when synchronisation is on.
    platform::Event events_[kWaitSlotCount];
    platform::Waitable waits_[kWaitSlotCount];
    // The link's reports become the engine's events, error reports and stop.
    struct ChannelReports final : LinkReports {
        explicit ChannelReports(Proxy& proxy) : proxy(proxy) {}
        void LinkEvent(EventCode code, uint32_t value) override { proxy.PostEvent(code, value); }
        void LinkText(EventCode code, const char* text) override { proxy.PostText(code, text); }
        void LinkError(uint32_t messageId, uint32_t code) override {
            proxy.ReportSystemError(messageId, code);
        }
        void ServerChanged() override {
            proxy.ResetStatistics();
            if (!proxy.ServerConnected()) proxy.CloseClient();
        }
        void ClientGone() override { proxy.CloseClient(); }
        void LinkBroken() override { proxy.Stop(); }
        Proxy& proxy;
    };
    ChannelReports channelReports_{*this};
    LinkChannel link_{channelReports_,     linkTimeoutMs_,     events_[SLOT_MODEM],
                      events_[SLOT_HELLO], events_[SLOT_LINK], events_[SLOT_STOP]};
    bool stopFlag_ = false;
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
