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

void DetachThread(void* raw) {
    CloseHandle(raw);
}

Result Thread::Start(Procedure procedure, void* argument) {
    if (raw_.valid()) return Result(ERROR_BUSY);
    auto* start = new (std::nothrow) StartRecord{procedure, argument};
    if (start == nullptr) return Result(ERROR_NOT_ENOUGH_MEMORY);
    DWORD id;
    HANDLE h = CreateThread(nullptr, 0, Run, start, 0, &id);
    if (h == nullptr) {
        const DWORD error = GetLastError();
        delete start;
        return Result(error);
    }
    raw_.reset(h);
    return {};
}

void Thread::Join() {
    if (!raw_.valid()) return;
    WaitForSingleObject(raw_.get(), INFINITE);
    raw_.reset();
}

}  // namespace kivro::platform
