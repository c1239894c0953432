// Linux threads through pthreads: pthread_create returns its error code, which
// becomes errno so that callers read it as they read any other system error.
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

pthread_t* Native(void* raw) { return static_cast<pthread_t*>(raw); }

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
        errno = EBUSY;
        return false;
    }
    auto* id = new (std::nothrow) pthread_t;
    auto* start = new (std::nothrow) StartRecord{procedure, argument};
    if (id == nullptr || start == nullptr) {
        delete id;
        delete start;
        errno = ENOMEM;
        return false;
    }
    int error = pthread_create(id, nullptr, Run, start);
    if (error != 0) {
        delete id;
        delete start;
        errno = error;
        return false;
    }
    raw_ = id;
    return true;
}

void Thread::Join() {
    if (raw_ == nullptr) return;
    pthread_join(*Native(raw_), nullptr);
    delete Native(raw_);
    raw_ = nullptr;
}

void Thread::Detach() {
    if (raw_ == nullptr) return;
    pthread_detach(*Native(raw_));
    delete Native(raw_);
    raw_ = nullptr;
}

}  // namespace kivro::platform
