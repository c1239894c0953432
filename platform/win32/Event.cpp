// Win32 events: unnamed manual-reset kernel events (CreateEventA) and
// WaitForMultipleObjects. Unnamed on purpose: named events would be shared with
// any other running copy, whose Stop or listener would then wake this one.
#include "platform/Event.h"

#include <windows.h>

namespace kivro::platform {

void CloseEvent(void* raw) {
    CloseHandle(raw);
}

Result Event::Create() {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD error = h == nullptr ? GetLastError() : 0;
    raw_.reset(h);
    return Result(error);
}

void Event::Set() const {
    if (raw_.valid()) SetEvent(raw_.get());
}

void Event::Reset() const {
    if (raw_.valid()) ResetEvent(raw_.get());
}

bool Event::IsSignalled() const {
    return WaitForSingleObject(raw_.get(), 0) == WAIT_OBJECT_0;
}

Result WaitAny(const Waitable* list, size_t count, uint32_t timeoutMs, int& signalled) {
    signalled = kWaitTimeout;
    if (count == 0 || count > kMaxWaitables) return Result(ERROR_INVALID_PARAMETER);
    HANDLE handles[kMaxWaitables];
    for (size_t i = 0; i < count; ++i) handles[i] = list[i].Raw();
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                     timeoutMs == kWaitInfinite ? INFINITE : timeoutMs);
    if (r == WAIT_TIMEOUT) return Result();
    if (r < WAIT_OBJECT_0 + count) {
        signalled = static_cast<int>(r - WAIT_OBJECT_0);
        return Result();
    }
    // WAIT_FAILED, or an abandoned mutex, which no caller waits on.
    DWORD code = r == WAIT_FAILED ? GetLastError() : ERROR_INVALID_HANDLE;
    return Result(code != 0 ? code : ERROR_INVALID_HANDLE);
}

}  // namespace kivro::platform
