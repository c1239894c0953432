// The engine object's life: Start with its steps and full release on failure,
// Stop and Shutdown, the queries, ReleaseAll, and the event and error posts that
// every other part of the engine uses. Events carry copies of their data, so a
// quick second event never changes what the front end shows for the first.
//
// The stop event is the one object both threads touch. ReleaseAll leaves it open;
// only the user-interface thread closes it: a failed Start, the next Start once
// the old worker is joined, or destruction. So a Stop racing with the worker's
// end never signals a closed (or reused) handle.
#include "engine/Proxy.h"

#include "platform/System.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {

Proxy::Proxy(uint32_t linkTimeoutMs) : linkTimeoutMs_(linkTimeoutMs) {}

Proxy::~Proxy() {
    Stop();
    worker_.Join();
    // The worker's ReleaseAll closed them; sockets must go before their events.
    viewer_.Release();
}

bool Proxy::Start(EngineEvents* sink, const Settings& settings) {
    if (Running()) return false;
    // A worker that has ended may still be returning from its procedure.
    worker_.Join();

    settings_ = settings;
    Stop();
    sink_ = sink;
    auto fail = [this] {
        ReleaseAll();
        events_[SLOT_STOP].Close();
        waits_[SLOT_STOP] = platform::Waitable();
        return false;
    };

    if (settings_.TCPPort < 0 || settings_.TCPPort > 65535 || settings_.MaxSyncSize < 0) {
        ReportSocketError(MSG_ERR_LISTEN, platform::ErrorCodes::InvalidArgument);
        return fail();
    }

    for (int slot : {SLOT_LISTENER, SLOT_CLIENT, SLOT_MODEM, SLOT_HELLO, SLOT_LINK, SLOT_STOP}) {
        if (platform::Result created = events_[slot].Create(); created.Failed()) {
            ReportSystemError(MSG_ERR_CREATE_EVENT, created.Code());
            return fail();
        }
        waits_[slot] = events_[slot].Handle();
    }

    if (!viewer_.Listen(static_cast<uint16_t>(settings_.TCPPort))) return fail();

    if (settings_.DoSync && !OpenSync()) return fail();

    localLimit_ = agreedLimit_ = static_cast<uint32_t>(settings_.MaxSyncSize);
    link_.Configure(settings_);

    // Running before the thread exists: a worker that ends at once must find it set.
    running_ = true;
    if (platform::Result started = worker_.Start(&Proxy::WorkerProcedure, this); started.Failed()) {
        running_ = false;
        ReportSystemError(MSG_ERR_CREATE_THREAD, started.Code());
        return fail();
    }
    return true;
}

void Proxy::Stop() {
    if (Running()) events_[SLOT_STOP].Set();
}

void Proxy::Shutdown() {
    Stop();
    for (int i = 0; i < 20; ++i) {
        if (!Running()) return;
        platform::SleepMs(100);
    }
}

bool Proxy::Running() const {
    return running_;
}
bool Proxy::ClientConnected() const {
    return viewer_.Connected();
}

bool Proxy::ServerConnected() const {
    return link_.ServerConnected();
}

bool Proxy::SyncEnabled() const {
    return syncEnabled_;
}

void Proxy::ReleaseAll() {
    viewer_.Release();
    link_.ClosePorts();
    CloseSync();
    // Sockets are closed above, so no event is still bound to one. The stop event
    // is left to the user-interface thread (see the top of this file).
    for (int slot = 0; slot < kWaitSlotCount; ++slot) {
        if (slot == SLOT_STOP) continue;
        events_[slot].Close();
        waits_[slot] = platform::Waitable();
    }
    running_ = false;
}

void Proxy::ResetStatistics() {
    receivedTotal_ = sentTotal_ = 0;
    stats_ = {};
}

// ---- events

namespace {

EngineEvent MakeEvent(EventCode code, uint32_t value) {
    EngineEvent event{};
    event.Code = code;
    event.Value = value;
    return event;
}

}  // namespace

void Proxy::PostEvent(EventCode code, uint32_t value) {
    if (sink_ == nullptr) return;
    sink_->Post(MakeEvent(code, value));
}

void Proxy::PostText(EventCode code, const char* text) {
    if (sink_ == nullptr) return;
    EngineEvent event = MakeEvent(code, 1);
    TextCopy(event.Text, text);
    sink_->Post(event);
}

void Proxy::PostStatistics() {
    if (sink_ == nullptr) return;
    EngineEvent event = MakeEvent(EV_STATISTICS, 0);
    event.Stats = stats_;
    sink_->Post(event);
}

namespace {

void Report(EngineEvents* sink, EventCode code, const EngineError& error) {
    if (sink == nullptr || error.Code == 0) return;
    EngineEvent event = MakeEvent(code, error.MessageId);
    event.Error = error;
    sink->Post(event);
}

}  // namespace

void Proxy::ReportSystemError(uint32_t messageId, uint32_t code) {
    lastError_ = {messageId, code};
    Report(sink_, EV_SYSTEM_ERROR, lastError_);
}

void Proxy::ReportSocketError(uint32_t messageId, uint32_t code) {
    lastError_ = {messageId, code};
    Report(sink_, EV_SOCKET_ERROR, lastError_);
}

}  // namespace kivro
