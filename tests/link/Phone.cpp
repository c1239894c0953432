// The scripted phone (see Phone.h).
#include "link/Phone.h"

#include <algorithm>
#include <chrono>

#include "engine/LinkProtocol.h"
#include "platform/System.h"

namespace kivro::test {

std::vector<uint8_t> FrameBytes(uint8_t type, uint32_t length,
                                const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> bytes(kLinkHeaderSize + payload.size());
    bytes[0] = type;
    PutBigEndian(bytes.data(), 1, 2, length);
    std::copy(payload.begin(), payload.end(), bytes.begin() + kLinkHeaderSize);
    return bytes;
}

std::vector<uint8_t> FrameBytes(uint8_t type, const std::vector<uint8_t>& payload) {
    return FrameBytes(type, static_cast<uint32_t>(payload.size()), payload);
}

void ScriptedPhone::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void ScriptedPhone::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (thread_.joinable()) thread_.join();
}

void ScriptedPhone::Queue(std::vector<uint8_t> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(std::move(reply));
}

void ScriptedPhone::SetAnswer(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
}

std::vector<LinkFrameRecord> ScriptedPhone::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t ScriptedPhone::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

int ScriptedPhone::WaitFor(const std::function<bool(const LinkFrameRecord&)>& pred, int timeoutMs,
                           size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (size_t i = from; i < frames_.size(); ++i)
            if (pred(frames_[i])) return static_cast<int>(i);
        from = std::max(from, frames_.size());  // a later start waits for that frame
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (size_t i = from; i < frames_.size(); ++i)
                if (pred(frames_[i])) return static_cast<int>(i);
            return -1;
        }
    }
}

int ScriptedPhone::WaitForType(uint8_t type, int timeoutMs, size_t from) {
    return WaitFor([type](const LinkFrameRecord& f) { return f.type == type; }, timeoutMs, from);
}

void ScriptedPhone::Run() {
    std::vector<uint8_t> pending;
    uint8_t buffer[8192];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
        }
        size_t n = channel_.ReadSome(buffer, sizeof buffer, 20);
        pending.insert(pending.end(), buffer, buffer + n);
        while (pending.size() >= kLinkHeaderSize) {
            size_t length = (size_t{pending[1]} << 8) | pending[2];
            if (pending.size() < kLinkHeaderSize + length) break;
            LinkFrameRecord frame{pending[0],
                                  std::vector<uint8_t>(pending.begin() + kLinkHeaderSize,
                                                       pending.begin() + kLinkHeaderSize + length),
                                  platform::TickCount()};
            pending.erase(pending.begin(), pending.begin() + kLinkHeaderSize + length);
            std::vector<uint8_t> reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!queued_.empty()) {
                    reply = std::move(queued_.front());
                    queued_.pop_front();
                } else if (answer_) {
                    reply = answer_(frame);
                } else {
                    reply = FrameBytes(LINK_DATA);
                }
                frames_.push_back(std::move(frame));
            }
            changed_.notify_all();
            if (!reply.empty()) channel_.Write(reply.data(), reply.size());
        }
    }
}

}  // namespace kivro::test
