// The worker thread's whole life: one wait per pass over the engine's waitables,
// in a fixed order so that the lowest signalled position is handled first, then
// the work that pass calls for. Idle, it wakes once a second (the serial link
// retries its ports then). The viewer is watched here; bytes it sends while no
// phone server is connected are received and dropped.
#include "app/Messages.h"
#include "engine/Proxy.h"

namespace kivro {

void Proxy::WorkerProcedure(void* self) { static_cast<Proxy*>(self)->WorkerLoop(); }

void Proxy::WorkerLoop() {
    PostEvent(EV_PROXY_RUNNING, 1);
    stopFlag_ = false;
    OpenPorts();
    if (!AnyPortOpen()) PostEvent(EV_MESSAGE, MSG_NO_PORTS);

    // False for one pass after a receive closed the viewer connection, so that the
    // closed client's readiness is not waited on again.
    bool watchClient = true;
    bool pollNow = false;

    for (;;) {
        platform::Waitable set[kWaitSlotCount];
        int slots[kWaitSlotCount];
        size_t count = 0;
        auto add = [&](int slot) {
            set[count] = waits_[slot];
            slots[count++] = slot;
        };
        if (watchClient) add(ClientConnected() ? SLOT_CLIENT : SLOT_LISTENER);
        else watchClient = true;
        if (SyncEnabled()) add(SLOT_DIR_CHANGE);
        add(SLOT_STOP);

        uint32_t timeout = pollNow ? 0 : 1000;
        pollNow = false;
        int result = platform::WaitAny(set, count, timeout);

        bool clientReady = false;
        // A failed wait is handled like a time-out.
        if (result >= 0) {
            int slot = slots[result];
            if (slot != SLOT_DIR_CHANGE) events_[slot].Reset();
            switch (slot) {
            case SLOT_LISTENER:
                AcceptClient();
                break;
            case SLOT_CLIENT:
                clientReady = true;
                break;
            case SLOT_STOP:
                CloseClient();
                stopFlag_ = true;
                break;
            default:
                break;
            }
        }

        if (clientReady) {
            int received = ReceiveFromClient();
            if (received < 0) {
                watchClient = false;
                pollNow = true;
            }
            // Received bytes go nowhere while no phone server is connected.
        }

        OpenPorts();
        if (stopFlag_) break;
    }

    ReleaseAll();
    PostEvent(EV_PROXY_RUNNING, 0);
}

}  // namespace kivro
