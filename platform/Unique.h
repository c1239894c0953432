// The one owner of a system handle: a file, a search, a change notification,
// a descriptor, a registry key, an event or a thread. Move-only; releasing
// the handle is one function named by the type, and the invalid value is the
// type's too, because the systems disagree on it (INVALID_HANDLE_VALUE and -1
// for files, NULL for keys and events). std::unique_ptr with a deleter was not
// taken: it owns pointers only, and an fd or an intptr_t handle is not one.
#pragma once

#include <utility>

namespace kivro::platform {

template <typename Handle, Handle Invalid, void (*Close)(Handle)>
class Unique {
  public:
    static constexpr Handle kInvalid = Invalid;

    Unique() = default;
    explicit Unique(Handle handle) : handle_(handle) {}
    Unique(Unique&& other) noexcept : handle_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Invalid; }
    explicit operator bool() const { return valid(); }
    Handle release() { return std::exchange(handle_, Invalid); }
    void reset(Handle handle = Invalid) {
        Handle old = std::exchange(handle_, handle);
        if (old != Invalid) Close(old);
    }
    // For a system call's out-parameter: releases what was held first.
    Handle* put() {
        reset();
        return &handle_;
    }

  private:
    Handle handle_ = Invalid;
};

}  // namespace kivro::platform
