// The console's EngineEvents sink: the worker (and Start, on the console's own
// thread) posts copies of its events here, and an eventfd wakes the console
// loop's poll. The console takes the whole batch at once by swapping two
// vectors that keep their capacity, so after the first few events nothing is
// allocated per event. A lock-free ring was the alternative; a short mutex is
// enough at the engine's event rate and cannot lose an event to a full ring.
#pragma once

#include <mutex>
#include <vector>

#include "engine/Events.h"

namespace kivro::console {

class EventQueue final : public EngineEvents {
  public:
    EventQueue();
    ~EventQueue() override;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Any thread: queues a copy and wakes the console loop.
    void Post(const EngineEvent& event) override;

    // Readable while events wait; for the console loop's poll.
    int WakeFd() const { return wakeFd_; }

    // Console thread: the queued events in posting order, replacing batch's
    // contents (its capacity is reused).
    void Take(std::vector<EngineEvent>& batch);

  private:
    std::mutex mutex_;
    std::vector<EngineEvent> pending_;
    int wakeFd_ = -1;
};

}  // namespace kivro::console
