// Win32 threads: CreateThread with the default stack; the thread handle is the
// owner, closed by Join or Detach.
#include "platform/Thread.h"

#include <new>
#include <windows.h>

namespace kivro::platform {

namespace {

struct StartRecord {
    Thread::Procedure procedure;
    void* argument;
};

DWORD WINAPI Run(LPVOID raw) {
    StartRecord start = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    start.procedure(start.argument);
    return 0;
}

}  // namespace

Thread::~Thread() { Detach(); }

Thread::Thread(Thread&& other) noexcept : raw_(other.raw_) { other.raw_ = nullptr; }

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Detach();
        raw_ = other.raw_;
        other.raw_ = nullptr;
    }
    return *this;
}

bool Thread::Start(Procedure procedure, void* argument) {
    if (raw_ != nullptr) {
        SetLastError(ERROR_BUSY);
        return false;
    }
    auto* start = new (std::nothrow) StartRecord{procedure, argument};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD id;
    raw_ = CreateThread(nullptr, 0, Run, start, 0, &id);
    if (raw_ == nullptr) {
        DWORD error = GetLastError();
        delete start;
        SetLastError(error);
        return false;
    }
    return true;
}

void Thread::Join() {
    if (raw_ == nullptr) return;
    WaitForSingleObject(raw_, INFINITE);
    CloseHandle(raw_);
    raw_ = nullptr;
}

void Thread::Detach() {
    if (raw_ == nullptr) return;
    CloseHandle(raw_);
    raw_ = nullptr;
}

}  // namespace kivro::platform
