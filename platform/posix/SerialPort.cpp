// Linux serial ports: a tty opened non-blocking and exclusive, in raw mode with
// its speed untouched. A transfer is tried at once; when the tty has nothing (or
// no room) the port's fd is bound to the caller's Event so that WaitAny wakes on
// readiness, and Finish then moves the bytes. This keeps one wait for all of
// the engine's sources without a thread per transfer.
//
// Modem lines have no poll event, so a helper thread sits in TIOCMIWAIT and sets
// the caller's event when CTS or DSR changes. TIOCMIWAIT can only be left by a
// line change or a signal: cancelling interrupts the thread with a private
// real-time signal whose handler does nothing (installed without SA_RESTART),
// repeated until the thread confirms, since a signal that lands just before the
// ioctl is otherwise lost. TIOCMIWAIT counts changes from the moment it is
// entered, so one that falls between the thread's own read of the lines and
// that moment would never wake it: while it waits, a timer sends the same
// signal every kRecheckMs and the thread reads the lines again, which bounds
// that rare loss to a second for one wake-up a second. Polling TIOCMGET is what
// remains on a driver that answers it but not TIOCMIWAIT (Linux's RFCOMM tty,
// which is exactly the Bluetooth port): there the thread reads the lines every
// kLinePollMs and signals only when CTS or DSR really differ.
#include "platform/SerialPort.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <pthread.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/Event.h"
#include "platform/System.h"
#include "platform/posix/WaitSource.h"
#include "text/Text.h"

namespace kivro::platform {

namespace {

// The signal that interrupts a TIOCMIWAIT; private to this file.
int InterruptSignal() {
    return SIGRTMIN + 5;
}

void IgnoreInterrupt(int) {}

void InstallInterruptHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = IgnoreInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the ioctl must return EINTR
        sigaction(InterruptSignal(), &action, nullptr);
    });
}

// A server coming or going on Bluetooth is seen within a fifth of a second, well
// inside the engine's one-second poll, for five reads a second on such drivers.
constexpr int kLinePollMs = 200;

// How often a thread in TIOCMIWAIT reads the lines again (see above).
constexpr int kRecheckMs = 1000;

constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR;

// A timer that interrupts the calling thread every kRecheckMs while armed.
class RecheckTimer {
  public:
    RecheckTimer() {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = InterruptSignal();
        event._sigev_un._tid = ::gettid();
        created_ = ::timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
    }
    ~RecheckTimer() {
        if (created_) ::timer_delete(timer_);
    }
    RecheckTimer(const RecheckTimer&) = delete;
    RecheckTimer& operator=(const RecheckTimer&) = delete;
    // Repeating, so a tick spent before the thread is inside the ioctl is not
    // the last one.
    void Start() { Set(kRecheckMs); }
    void Stop() { Set(0); }

  private:
    void Set(int ms) {
        if (!created_) return;
        itimerspec spec{};
        spec.it_value.tv_sec = ms / 1000;
        spec.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        spec.it_interval = spec.it_value;
        ::timer_settime(timer_, 0, &spec, nullptr);
    }
    timer_t timer_{};
    bool created_ = false;
};

uint32_t ModemBits(int lines) {
    uint32_t status = 0;
    if (lines & TIOCM_CTS) status |= kModemCtsOn;
    if (lines & TIOCM_DSR) status |= kModemDsrOn;
    if (lines & TIOCM_RNG) status |= kModemRingOn;
    if (lines & TIOCM_CAR) status |= kModemRlsdOn;
    return status;
}

Result Failure(int error) {
    return Result(static_cast<uint32_t>(error));
}

}  // namespace

struct SerialPort::State {
    int fd = -1;

    // The transfer in flight: kind None when nothing is pending.
    enum class Kind { None, Read, Write } kind = Kind::None;
    uint8_t* buffer = nullptr;
    uint32_t count = 0;
    Event* done = nullptr;
    // What Finish gives once nothing is pending: the last transfer's outcome.
    Result last = Failure(EBADF);
    uint32_t lastTransferred = 0;

    // The modem watcher; everything below `mutex` is guarded by it.
    pthread_t watcher{};
    bool watcherStarted = false;  // watcher holds a thread to join
    std::mutex mutex;
    std::condition_variable wake;
    bool quit = false;
    bool armed = false;
    bool watcherRunning = false;
    unsigned generation = 0;  // bumped by each arming
    Event* changed = nullptr;
    int snapshot = 0;  // the watched TIOCM bits the owner last read
    // The driver refused TIOCMIWAIT: the lines are polled. The watcher's own.
    bool pollLines = false;

    // One read or write attempt of the pending transfer: Ok with moved > 0, or
    // Ok with moved 0 while the tty has nothing (or no room) yet, or the failure.
    Result Attempt(uint32_t& moved);
    // Records the outcome Finish gives from now on.
    void Settle(Result result, uint32_t moved) {
        kind = Kind::None;
        last = result;
        lastTransferred = result.Ok() ? moved : 0;
    }
    Result Start(Kind what, void* data, uint32_t size, Event& event);
    void Watch();
    static void* Run(void* self) {
        static_cast<State*>(self)->Watch();
        return nullptr;
    }
    void StopWatcher();
    void Interrupt(std::unique_lock<std::mutex>& lock, unsigned seenGeneration);
    unsigned interruptedGeneration = 0;  // the generation the watcher has taken up
};

Result SerialPort::State::Attempt(uint32_t& moved) {
    moved = 0;
    for (;;) {
        ssize_t n = kind == Kind::Read ? ::read(fd, buffer, count) : ::write(fd, buffer, count);
        if (n > 0) {
            moved = static_cast<uint32_t>(n);
            return Result();
        }
        if (n == 0) return Failure(EIO);  // a hung-up tty reads as end of file
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Result();
        return Failure(errno);
    }
}

// A transfer completed at once sets its event before returning, as an overlapped
// one that completes at once does, for waits on this thread and without a
// system call; one that must wait binds the fd to it.
Result SerialPort::State::Start(Kind what, void* data, uint32_t size, Event& event) {
    event.Reset();
    if (fd < 0) {
        last = Failure(EBADF);
        lastTransferred = 0;
        return last;
    }
    if (kind != Kind::None) return Failure(EBUSY);
    kind = what;
    buffer = static_cast<uint8_t*>(data);
    count = size;
    done = &event;
    uint32_t moved = 0;
    Result result = size == 0 ? Result() : Attempt(moved);
    if (result.Ok() && moved == 0 && size != 0) {
        posix::Bind(event, fd, what == Kind::Read ? POLLIN : POLLOUT);
        return result;
    }
    Settle(result, moved);
    if (result.Ok()) posix::SignalHere(event);
    return result;
}

void SerialPort::State::Watch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, InterruptSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    RecheckTimer recheck;

    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return quit || armed; });
        if (quit) break;
        unsigned mine = generation;
        interruptedGeneration = mine;
        const int before = snapshot;
        auto replaced = [&] { return quit || !armed || generation != mine; };

        bool signal = false;
        while (!signal && !replaced()) {
            lock.unlock();
            int lines = 0;
            if (::ioctl(fd, TIOCMGET, &lines) != 0 || ((lines ^ before) & kWatchedLines)) {
                signal = true;  // a failed read too: the owner's re-read reports it
            } else if (!pollLines) {
                recheck.Start();
                int waited = ::ioctl(fd, TIOCMIWAIT, kWatchedLines);
                int error = errno;
                recheck.Stop();
                if (waited == 0) {
                    signal = true;
                } else if (error == ENOTTY || error == EINVAL) {
                    // "No such command" (older kernels said EINVAL): poll instead.
                    pollLines = true;
                } else if (error != EINTR) {
                    signal = true;  // hung up: the owner's re-read finds out
                }
            }
            lock.lock();
            if (!signal && pollLines)
                wake.wait_for(lock, std::chrono::milliseconds(kLinePollMs), replaced);
        }

        if (signal && !replaced()) {
            armed = false;
            changed->Set();
        }
    }
    watcherRunning = false;
    wake.notify_all();
}

// Interrupts the watcher until it has left the wait it was in for seenGeneration
// (or ended). Called with the lock held.
void SerialPort::State::Interrupt(std::unique_lock<std::mutex>& lock, unsigned seenGeneration) {
    while (watcherRunning && interruptedGeneration == seenGeneration) {
        pthread_kill(watcher, InterruptSignal());
        wake.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void SerialPort::State::StopWatcher() {
    if (!watcherStarted) return;
    {
        std::unique_lock<std::mutex> lock(mutex);
        quit = true;
        armed = false;
        wake.notify_all();
        while (watcherRunning) {
            pthread_kill(watcher, InterruptSignal());
            wake.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    pthread_join(watcher, nullptr);
    watcherStarted = false;
    quit = false;
}

SerialPort::SerialPort() : state_(std::make_unique<State>()) {}
SerialPort::~SerialPort() {
    Close();
}
SerialPort::SerialPort(SerialPort&&) noexcept = default;
SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        Close();
        state_ = std::move(other.state_);
    }
    return *this;
}

Result SerialPort::Open(const char* name, bool& configureFailed) {
    Close();
    configureFailed = false;
    if (!state_) state_ = std::make_unique<State>();
    // A name with "/" is a path; any other is a device under /dev.
    char path[5 + kPathCapacity];
    size_t used = 0;
    if (std::strchr(name, '/') == nullptr) {
        std::memcpy(path, "/dev/", 5);
        used = 5;
    }
    // Never cut: a cut name would open some other device.
    size_t length = strnlen(name, kPathCapacity);
    if (length == kPathCapacity) return Failure(ENAMETOOLONG);
    std::memcpy(path + used, name, length);
    path[used + length] = '\0';

    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failure(errno);
    // Exclusive as Windows opens without sharing: TIOCEXCL keeps other openers
    // out (root excepted), the lock keeps out other instances of this program.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return Failure(error);
    }
    termios tio;
    if (::ioctl(fd, TIOCEXCL) != 0 || ::tcgetattr(fd, &tio) != 0) {
        int error = errno;
        ::close(fd);
        configureFailed = true;
        return Failure(error);
    }
    ::cfmakeraw(&tio);  // leaves the speed as it is
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        int error = errno;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        configureFailed = true;
        return Failure(error);
    }
    state_->fd = fd;
    state_->kind = State::Kind::None;
    state_->last = Failure(EBADF);
    state_->lastTransferred = 0;
    return Result();
}

bool SerialPort::IsOpen() const {
    return state_ && state_->fd >= 0;
}

void SerialPort::Close() {
    if (!IsOpen()) return;
    Cancel();
    state_->StopWatcher();
    // A pty keeps its flags while the other end is open: clear the exclusive
    // mode, or reopening the port would fail for anyone but root.
    ::ioctl(state_->fd, TIOCNXCL);
    ::close(state_->fd);
    state_->fd = -1;
}

Result SerialPort::StartRead(void* buffer, uint32_t count, Event& done) {
    return state_->Start(State::Kind::Read, buffer, count, done);
}

Result SerialPort::StartWrite(const void* buffer, uint32_t count, Event& done) {
    return state_->Start(State::Kind::Write, const_cast<void*>(buffer), count, done);
}

Result SerialPort::Finish(uint32_t& transferred) {
    State& s = *state_;
    if (s.kind != State::Kind::None) {
        uint32_t moved = 0;
        Result result;
        for (;;) {
            result = s.Attempt(moved);
            if (result.Failed() || moved > 0) break;
            // Not ready after all: wait, as GetOverlappedResult does when told to.
            pollfd p{s.fd, static_cast<short>(s.kind == State::Kind::Read ? POLLIN : POLLOUT), 0};
            ::poll(&p, 1, -1);
        }
        posix::Unbind(*s.done);
        s.Settle(result, moved);
    }
    transferred = s.lastTransferred;
    return s.last;
}

bool SerialPort::Pending() const {
    return state_ && state_->kind != State::Kind::None;
}

void SerialPort::Cancel() {
    if (!state_) return;
    State& s = *state_;
    if (s.kind == State::Kind::None) return;
    posix::Unbind(*s.done);
    s.done->Set();  // a cancelled transfer completes, as overlapped I/O does
    s.Settle(Failure(ECANCELED), 0);
}

Result SerialPort::ReadModemLines(uint32_t& status) {
    int lines = 0;
    if (!IsOpen()) return Failure(EBADF);
    if (::ioctl(state_->fd, TIOCMGET, &lines) != 0) return Failure(errno);
    status = ModemBits(lines);
    return Result();
}

Result SerialPort::ArmModemWait(Event& changed, uint32_t lastStatus) {
    State& s = *state_;
    int lines = 0;
    if (!IsOpen()) return Failure(EBADF);
    // A driver that has no modem lines cannot wait for them either.
    if (::ioctl(s.fd, TIOCMGET, &lines) != 0) return Failure(errno);
    changed.Reset();
    InstallInterruptHandler();
    std::unique_lock<std::mutex> lock(s.mutex);
    unsigned previous = s.generation;
    bool wasWaiting = s.armed && s.watcherRunning;
    s.armed = true;
    s.generation = previous + 1;
    s.changed = &changed;
    // Compared with what the owner read, not with a read of our own: a change
    // between the two would otherwise never signal.
    s.snapshot =
        ((lastStatus & kModemCtsOn) ? TIOCM_CTS : 0) | ((lastStatus & kModemDsrOn) ? TIOCM_DSR : 0);
    if (!s.watcherStarted) {
        s.watcherRunning = true;
        s.pollLines = false;
        int error = pthread_create(&s.watcher, nullptr, &State::Run, &s);
        if (error != 0) {
            s.watcherRunning = false;
            s.armed = false;
            return Failure(error);
        }
        s.watcherStarted = true;
    } else {
        s.wake.notify_all();
        // The watcher may sit in TIOCMIWAIT for the old arming: make it start over.
        if (wasWaiting) s.Interrupt(lock, previous);
    }
    return Result();
}

Result SerialPort::DiscardInput() {
    if (!IsOpen()) return Failure(EBADF);
    if (::tcflush(state_->fd, TCIFLUSH) != 0) return Failure(errno);
    return Result();
}

}  // namespace kivro::platform
