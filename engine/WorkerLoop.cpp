// The worker thread's whole life. Each pass waits once over the engine's
// waitables in a fixed order (the lowest signalled position is handled first),
// then, while the phone's server is connected, makes exactly one link exchange:
// a notice when one is due (the sync configuration after a server change, the
// viewer coming or going), else the viewer's bytes, else a file message, else an
// empty poll. Idle, the wait ends after a second, so the phone is polled and
// closed ports are retried once a second. After a reply with data, and while a
// file goes either way, the next pass starts at once; after any traffic the
// phone is polled fast for a while (PollPace), so that an answer it prepares a
// moment later is fetched at once, not on the next one-second poll. Everything
// a pass touches is a field of the engine or a local: the loop allocates nothing.
#include "engine/PollPace.h"
#include "engine/Proxy.h"
#include "platform/System.h"
#include "text/Messages.h"

namespace kivro {

void Proxy::WorkerProcedure(void* self) {
    static_cast<Proxy*>(self)->WorkerLoop();
}

void Proxy::WorkerLoop() {
    PostEvent(EV_PROXY_RUNNING, 1);
    stopFlag_ = false;
    link_.OpenPorts();
    if (!link_.BtOpen() && !link_.UsbOpen()) PostEvent(EV_MESSAGE, MSG_NO_PORTS);
    uint32_t lastOpen = platform::TickCount();

    // False for one pass after a receive closed the viewer connection, so that the
    // closed client's readiness is not waited on again.
    bool watchClient = true;
    bool pollNow = false;
    bool clientNoticed = false;  // the phone was told a viewer is connected
    bool announce = true;        // the next exchange sends the sync configuration
    // The viewer's readiness seen in a pass that sent a notice instead of reading
    // it: an event-selected socket signals again only after a read, so it is
    // kept for the next pass, which then follows at once.
    bool clientReadyKept = false;
    uint32_t lastReport = 0;
    PollPace pace;

    for (;;) {
        const bool btWasOpen = link_.BtOpen(), usbWasOpen = link_.UsbOpen();
        platform::Waitable set[kWaitSlotCount];
        int slots[kWaitSlotCount];
        size_t count = 0;
        auto add = [&](int slot) {
            set[count] = waits_[slot];
            slots[count++] = slot;
        };
        // The phone is told a viewer has gone before the next one is taken:
        // a viewer accepted first would get no notice of its own and inherit
        // the old viewer's session. It waits in the backlog for this one pass.
        const bool goneUntold = clientNoticed && !ClientConnected() && ServerConnected();
        if (link_.BtOpen()) add(SLOT_MODEM);
        if (link_.UsbSearching()) add(SLOT_HELLO);
        if (watchClient && !goneUntold) add(ClientConnected() ? SLOT_CLIENT : SLOT_LISTENER);
        watchClient = true;
        if (SyncEnabled() && waits_[SLOT_DIR_CHANGE]) add(SLOT_DIR_CHANGE);
        add(SLOT_STOP);

        // Without a server there is nothing to poll: closed ports are retried once a second.
        uint32_t timeout = pollNow || goneUntold ? 0
                           : ServerConnected()   ? pace.NextWait(platform::TickCount())
                                                 : PollPace::kIdleMs;
        pollNow = false;
        // A failed wait is handled like a time-out: signalled is kWaitTimeout then.
        int result = platform::kWaitTimeout;
        (void)platform::WaitAny(set, count, timeout, result);

        bool clientReady = clientReadyKept;
        clientReadyKept = false;
        bool haveFrame = false;
        bool active = false;  // the frame carries the viewer's bytes or its arrival
        uint8_t type = LINK_DATA;
        uint32_t length = 0;

        if (result >= 0 && static_cast<size_t>(result) < count) {
            int slot = slots[result];
            if (slot != SLOT_DIR_CHANGE) events_[slot].Reset();
            switch (slot) {
                case SLOT_LISTENER:
                    viewer_.Accept();
                    break;
                case SLOT_CLIENT:
                    clientReady = true;
                    break;
                case SLOT_MODEM:
                    link_.ModemChanged();
                    announce = true;
                    break;
                case SLOT_HELLO:
                    link_.HelloReadCompleted();  // a hello found there is announced below
                    break;
                case SLOT_DIR_CHANGE:
                    DirectoryChanged();
                    break;
                case SLOT_STOP:
                    // The phone still hears that the viewer went, in this pass's exchange.
                    viewer_.Close();
                    stopFlag_ = true;
                    break;
                default:
                    break;
            }
        }

        // However the server was found: by its wait, when the port opened, when
        // the search resumed after the phone's server went away mid-exchange, or
        // by a line change seen inside a transfer.
        if (link_.TakeAnnounceDue()) announce = true;

        // Notices, in order of precedence.
        if (ServerConnected()) {
            if (announce) {
                SyncServerConnected(platform::TickCount());
                type = LINK_SYNC_CONFIG;
                length = SyncConfiguration();
                haveFrame = true;
            } else if (!clientNoticed && ClientConnected()) {
                type = LINK_CLIENT_CONNECTED;
                haveFrame = true;
                active = true;  // the phone's server greets a new viewer
                clientNoticed = true;
            } else if (clientNoticed && !ClientConnected()) {
                type = LINK_CLIENT_DISCONNECTED;
                haveFrame = true;
                clientNoticed = false;
            }
        } else {
            clientNoticed = false;
        }
        announce = false;

        // The viewer's bytes.
        if (clientReady) {
            if (haveFrame) {
                clientReadyKept = true;
                pollNow = true;
            } else {
                int received = viewer_.Receive(frame_ + kLinkHeaderSize, kLinkMaxPayload);
                if (received > 0) {
                    type = LINK_DATA;
                    length = static_cast<uint32_t>(received);
                    haveFrame = true;
                    active = true;
                } else if (received < 0) {
                    watchClient = false;
                    pollNow = true;
                }
                // Without a server the bytes go nowhere: no exchange below.
            }
        }

        if (ServerConnected()) {
            uint32_t now = platform::TickCount();
            uint32_t elapsed = now - lastReport;
            if (elapsed > 2000) {
                stats_.ReceiveRate = Rate(receivedTotal_ - stats_.Received, elapsed);
                stats_.Received = receivedTotal_;
                stats_.SendRate = Rate(sentTotal_ - stats_.Sent, elapsed);
                stats_.Sent = sentTotal_;
                PostStatistics();
                lastReport = now;
            }
            bool fileOut = !haveFrame && NextSyncMessage(type, length);
            if (!haveFrame && !fileOut) {
                type = LINK_DATA;  // an empty poll
                length = 0;
            }
            Reply reply = LinkExchange(type, length);
            // A file moves one frame per exchange, so while one is under way the
            // next pass follows at once: ours after its start or data went out,
            // the phone's once its start came (its data replies count as more).
            bool transfer = (fileOut && type != LINK_FILE_END) ||
                            (reply.type == LINK_FILE_START && fileSync_.Receiving());
            if (reply.more || transfer) pollNow = true;
            if (reply.more || active || fileOut || transfer) pace.Activity(now);
        }

        // Closed ports are retried once a second, as the idle loop always did, and
        // at once when this pass lost one. Not on every pass: a busy link makes
        // hundreds of passes a second, and with discovery on, each retry of a port
        // that is not there would list the system's ports and allocate. The margin
        // keeps the idle loop, whose passes are a second apart give or take a tick,
        // retrying on every pass.
        constexpr uint32_t kRetryMs = PollPace::kIdleMs - 100;
        uint32_t tick = platform::TickCount();
        bool lost = (btWasOpen && !link_.BtOpen()) || (usbWasOpen && !link_.UsbOpen());
        if (lost || tick - lastOpen >= kRetryMs) {
            link_.OpenPorts();
            SyncTick(tick);
            lastOpen = tick;
        }
        if (stopFlag_) break;
    }

    ReleaseAll();
    PostEvent(EV_PROXY_RUNNING, 0);
}

// Bytes per second over elapsedMs, rounded; formed in 64 bits so that a large
// byte count times 1000 cannot overflow.
uint32_t Proxy::Rate(uint32_t bytes, uint32_t elapsedMs) {
    return static_cast<uint32_t>((static_cast<uint64_t>(bytes) * 1000 + elapsedMs / 2) / elapsedMs);
}

}  // namespace kivro
