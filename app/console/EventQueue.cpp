// See EventQueue.h. The eventfd counts posts; Take resets it before swapping,
// so a post that lands between the two still leaves the fd readable.
#include "app/console/EventQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace kivro::console {

EventQueue::EventQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    pending_.reserve(64);
}

EventQueue::~EventQueue() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void EventQueue::Post(const EngineEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(event);
    }
    const uint64_t one = 1;
    // A full counter or a missing fd still leaves the event queued; the loop's
    // poll time-out collects it.
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void EventQueue::Take(std::vector<EngineEvent>& batch) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
    batch.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.swap(batch);
}

}  // namespace kivro::console
