// One native thread, started with a plain procedure and argument so that no
// exception can leave it (std::thread reports a failed start by throwing and
// loses the system's error code). Win32: CreateThread; Linux: pthreads.
#pragma once

#include "platform/Result.h"
#include "platform/Unique.h"

namespace kivro::platform {

// Lets one thread run on unowned: CloseHandle, or pthread_detach and the
// heap-held pthread_t freed.
void DetachThread(void* raw);

// Owner of one thread. Move-only. Destroying or Detach-ing a joinable thread
// lets it run on unowned; Join waits for its end.
class Thread {
  public:
    using Procedure = void (*)(void* argument);

    // Only when not Joinable (else it fails as busy).
    Result Start(Procedure procedure, void* argument);
    bool Joinable() const { return raw_.valid(); }
    // Waits until the thread has returned, then releases it. Not from the thread itself.
    void Join();
    void Detach() { raw_.reset(); }

  private:
    Unique<void*, nullptr, DetachThread> raw_;  // HANDLE, or a heap-held pthread_t
};

}  // namespace kivro::platform
