// Linux threads through pthreads: pthread_create returns its error code, which
// Start hands back as its Result.
#include "platform/Thread.h"

#include <cerrno>
#include <new>
#include <pthread.h>

namespace kivro::platform {

namespace {

struct StartRecord {
    Thread::Procedure procedure;
    void* argument;
};

void* Run(void* raw) {
    StartRecord start = *static_cast<StartRecord*>(raw);
    delete static_cast<StartRecord*>(raw);
    start.procedure(start.argument);
    return nullptr;
}

pthread_t* Native(void* raw) {
    return static_cast<pthread_t*>(raw);
}

}  // namespace

void DetachThread(void* raw) {
    pthread_detach(*Native(raw));
    delete Native(raw);
}

Result Thread::Start(Procedure procedure, void* argument) {
    if (raw_.valid()) return Result(EBUSY);
    auto* id = new (std::nothrow) pthread_t;
    auto* start = new (std::nothrow) StartRecord{procedure, argument};
    if (id == nullptr || start == nullptr) {
        delete id;
        delete start;
        return Result(ENOMEM);
    }
    int error = pthread_create(id, nullptr, Run, start);
    if (error != 0) {
        delete id;
        delete start;
        return Result(static_cast<uint32_t>(error));
    }
    raw_.reset(id);
    return {};
}

void Thread::Join() {
    if (!raw_.valid()) return;
    pthread_t* id = Native(raw_.release());
    pthread_join(*id, nullptr);
    delete id;
}

}  // namespace kivro::platform
