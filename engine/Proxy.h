// The engine: one Proxy object connects a VNC viewer (TCP) with the phone's VNC
// server (serial link). The user-interface thread only calls the virtual
// operations below; all other work runs on the engine's own worker thread, which
// reports through the EngineEvents sink. There are no locks: the stop event is the
// only way in, and the queries read single atomic fields.
//
// Proxy is the worker's orchestration and the public operations: Proxy.cpp
// (start, stop, queries, release, events), WorkerLoop.cpp (the main loop),
// LinkExchange.cpp (one exchange of frames and the reply's handling),
// SyncTransfer.cpp (the hooks into FileSync). Three objects hold the rest with
// their rules: Viewer (the listener and the viewer's connection: Viewer.h),
// LinkChannel (the serial ports, the phone's server on each, and every
// transfer over them: LinkChannel.h) and FileSync (the sync folder's watch and
// monitor and the file transfers both ways: FileSync.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/Events.h"
#include "engine/FileSync.h"
#include "engine/LinkChannel.h"
#include "engine/LinkProtocol.h"
#include "engine/Viewer.h"
#include "platform/Event.h"
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
    // Record the error; post it unless code is 0.
    void ReportSystemError(uint32_t messageId, uint32_t code);
    void ReportSocketError(uint32_t messageId, uint32_t code);

    // Closes everything the worker used but the stop event, which only the
    // user-interface thread closes; Running is false afterwards (Proxy.cpp).
    void ReleaseAll();
    void ResetStatistics();

    // ---- the main loop (WorkerLoop.cpp)
    static void WorkerProcedure(void* self);
    void WorkerLoop();
    static uint32_t Rate(uint32_t bytes, uint32_t elapsedMs);

    // ---- the link protocol (LinkExchange.cpp)
    // How an exchange went: the reply's type (0 when none came), and whether the
    // phone has more, so the next pass polls at once.
    struct Reply {
        uint8_t type;
        bool more;
    };
    // One exchange: the request of this type, its payload already in place after
    // the header, the reply read into the same buffer and acted on.
    Reply LinkExchange(uint8_t type, uint32_t length);
    void HandleServerMessage(uint8_t type, uint32_t length);
    // Writes the sync configuration's payload; returns its length.
    uint32_t SyncConfiguration();

    // ---- file synchronisation (SyncTransfer.cpp; the work is FileSync's)
    // Start's synchronisation step: the change notification, the directory
    // monitor and its excludes. Reports its own failure (3011, 3012), false then.
    bool OpenSync();
    // ReleaseAll's part: closes the change notification and the transfer file,
    // so nothing stays locked and a new Start is clean.
    void CloseSync();
    // Writes the next file message's payload; its type and length; false for none.
    bool NextSyncMessage(uint8_t& type, uint32_t& length);
    void ReceiveFileStart(uint32_t length);
    void ReceiveFileData(uint32_t length);
    void ReceiveFileEnd();
    // Slot 5 was signalled: re-arm the notification and rescan the directory.
    void DirectoryChanged();
    // Once a second from the main loop: a lost folder watch, a broken incoming file.
    void SyncTick(uint32_t now);
    // The sync configuration went to a newly connected server.
    void SyncServerConnected(uint32_t now);

    // ---- what the engine's parts report, turned into its events, error
    // reports and stop. They run on the worker thread.
    struct ViewerSide final : ViewerReports {
        explicit ViewerSide(Proxy& proxy) : proxy(proxy) {}
        void ViewerEvent(EventCode code, uint32_t value) override { proxy.PostEvent(code, value); }
        void ViewerText(EventCode code, const char* text) override { proxy.PostText(code, text); }
        void ViewerError(uint32_t messageId, uint32_t code) override {
            proxy.ReportSocketError(messageId, code);
        }
        void ViewerBroken() override { proxy.Stop(); }
        Proxy& proxy;
    };
    struct LinkSide final : LinkReports {
        explicit LinkSide(Proxy& proxy) : proxy(proxy) {}
        void LinkEvent(EventCode code, uint32_t value) override { proxy.PostEvent(code, value); }
        void LinkText(EventCode code, const char* text) override { proxy.PostText(code, text); }
        void LinkError(uint32_t messageId, uint32_t code) override {
            proxy.ReportSystemError(messageId, code);
        }
        void ServerChanged() override {
            proxy.ResetStatistics();
            if (!proxy.ServerConnected()) proxy.viewer_.Close();
        }
        void ClientGone() override { proxy.viewer_.Close(); }
        void LinkBroken() override { proxy.Stop(); }
        Proxy& proxy;
    };
    struct SyncSide final : FileSyncReports {
        explicit SyncSide(Proxy& proxy) : proxy(proxy) {}
        void SyncEvent(EventCode code, uint32_t value) override { proxy.PostEvent(code, value); }
        void SyncText(EventCode code, const char* text) override { proxy.PostText(code, text); }
        void SyncError(uint32_t messageId, uint32_t code) override {
            proxy.ReportSystemError(messageId, code);
        }
        Proxy& proxy;
    };

    // ---- fields, by who writes them
    // Fixed at construction.
    const uint32_t linkTimeoutMs_;
    // The user-interface thread, in Start, before the worker exists; the stop
    // event's Set by Stop from any thread.
    Settings settings_{};
    EngineEvents* sink_ = nullptr;
    platform::Thread worker_;
    // Slots 0-4 and 6 are events; slot 5 stays unset here and is the change
    // notification's waitable when synchronisation is on.
    platform::Event events_[kWaitSlotCount];
    platform::Waitable waits_[kWaitSlotCount];
    uint32_t localLimit_ = 0;
    char syncDir_[kPathCapacity] = {};

    // The worker thread (and Start before it runs): the three parts and what
    // the loop keeps between passes.
    ViewerSide viewerSide_{*this};
    LinkSide linkSide_{*this};
    SyncSide syncSide_{*this};
    Viewer viewer_{viewerSide_, linkTimeoutMs_, events_[SLOT_LISTENER], events_[SLOT_CLIENT],
                   events_[SLOT_STOP]};
    LinkChannel link_{linkSide_,           linkTimeoutMs_,     events_[SLOT_MODEM],
                      events_[SLOT_HELLO], events_[SLOT_LINK], events_[SLOT_STOP]};
    FileSync fileSync_{syncSide_};
    // The worker ends after this pass. Set where the stop event is seen (a part
    // that cannot go on sets that event, as the user-interface thread does),
    // and by a reply too long to read, after which nothing more can be.
    bool stopFlag_ = false;
    EngineError lastError_{};
    uint8_t frame_[kLinkFrameSize] = {};
    uint32_t syncFlags_ = 0;
    uint32_t agreedLimit_ = 0;
    uint32_t receivedTotal_ = 0;
    uint32_t sentTotal_ = 0;
    TrafficStats stats_{};

    // Written by their owner as above, read by the user-interface thread.
    std::atomic<bool> running_{false};
    std::atomic<bool> syncEnabled_{false};

    friend struct ProxyTestAccess;  // tests drive protected operations through it
};

}  // namespace kivro
