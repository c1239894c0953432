// Win32 events: unnamed manual-reset kernel events (CreateEventA) and
// WaitForMultipleObjects. Unnamed on purpose: named events would be shared with
// any other running copy, whose Stop or listener would then wake this one.
#include "platform/Event.h"

#include <windows.h>

namespace kivro::platform {

void CloseEvent(void* raw) {
    CloseHandle(raw);
}

bool Event::Create() {
    raw_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    return raw_.valid();
}

bool Event::Set() const {
    return SetEvent(raw_.get()) != FALSE;
}
bool Event::Reset() const {
    return ResetEvent(raw_.get()) != FALSE;
}
bool Event::IsSignalled() const {
    return WaitForSingleObject(raw_.get(), 0) == WAIT_OBJECT_0;
}

int WaitAny(const Waitable* list, size_t count, uint32_t timeoutMs) {
    if (count == 0 || count > kMaxWaitables) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    HANDLE handles[kMaxWaitables];
    for (size_t i = 0; i < count; ++i) handles[i] = list[i].Raw();
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                     timeoutMs == kWaitInfinite ? INFINITE : timeoutMs);
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    if (r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
    return kWaitFailed;
}

}  // namespace kivro::platform
