// phone-sim: the far end of the serial link, behaving as the phone's server
// does. One thread and one poll loop: the link, the VNC session's socket, a
// signal pipe and (with --control) standard input. The PC leads: every frame it
// sends gets exactly one reply, chosen here in a fixed order (a due fault, the
// sync answer, the viewer's bytes, an end of session, a file message, an empty
// poll answer); nothing is ever sent unasked but the USB hello. Faults for tests
// replace one reply and are armed by frame number, by SIGUSR1 or by a command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "Log.h"
#include "Options.h"
#include "PhoneFolder.h"
#include "RemoteSession.h"
#include "RfbScreen.h"
#include "SerialLink.h"

namespace kivro::phonesim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int gSignalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    int saved = errno;
    char c = signal == SIGUSR1 ? 'u' : 'q';
    [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &c, 1);
    errno = saved;
}

const char* TypeName(uint8_t type) {
    static const char* const names[] = {
        "LINK_DATA",           "LINK_CLIENT_CONNECTED", "LINK_CLIENT_DISCONNECTED", "type 3",
        "LINK_SYNC_CONFIG",    "LINK_FILE_START",       "LINK_FILE_DATA",           "LINK_FILE_END",
        "LINK_USB_DISCONNECT", "LINK_CLOSE_CLIENT"};
    return type < 10 ? names[type] : "invalid type";
}

class PhoneSim {
  public:
    explicit PhoneSim(Options options) : o_(std::move(options)) {}
    int Run();

  private:
    void HandleFrame();
    void Reply();
    bool DueFault(Fault& fault);
    void DoFault(const Fault& fault);
    void SendFrame(uint8_t type, const uint8_t* payload, size_t length);
    void SendRaw(const uint8_t* bytes, size_t count);
    void SendHello();
    void StartSession();
    void EndSession(const char* why);
    void HandleControlLine(const std::string& line);
    void EndStall();
    void OnPcOpened();
    int PollTimeout() const;

    Options o_;
    SerialLink link_;
    std::unique_ptr<Session> session_;
    std::unique_ptr<PhoneFolder> folder_;
    Frame in_;
    uint8_t out_[kLinkFrameSize];
    long frames_ = 0;
    long framesSinceHello_ = 0;
    std::deque<Fault> armed_;
    bool quit_ = false;
    int exitStatus_ = 0;

    bool restarted_ = false;  // --restart-after-bytes has done its restart
    bool pcConfigSeen_ = false;
    uint8_t pcFlags_ = 0;
    uint32_t pcLimit_ = 0;

    bool stalled_ = false;
    Clock::time_point stallEnd_{};
    bool helloDue_ = false;
    Clock::time_point helloAt_{};
    std::string controlBuffer_;
    bool controlOpen_ = false;
};

void PhoneSim::SendRaw(const uint8_t* bytes, size_t count) {
    if (!link_.Write(bytes, count)) {
        quit_ = true;
        exitStatus_ = 1;
    }
}

void PhoneSim::SendFrame(uint8_t type, const uint8_t* payload, size_t length) {
    out_[0] = type;
    PutBigEndian(out_, 1, 2, static_cast<uint32_t>(length));
    if (length) std::memmove(out_ + kLinkHeaderSize, payload, length);
    Log(2, "tx %s %zu", TypeName(type), length);
    SendRaw(out_, kLinkHeaderSize + length);
}

void PhoneSim::SendHello() {
    Log(1, "server started: sending the USB hello");
    helloDue_ = false;
    framesSinceHello_ = 0;
    SendRaw(kUsbHello, sizeof kUsbHello);
}

void PhoneSim::StartSession() {
    if (o_.vncHost.empty()) {
        session_ = std::make_unique<RfbScreen>();
        Log(1, "viewer connected: built-in screen session started");
    } else {
        session_ = std::make_unique<RemoteSession>(o_.vncHost, o_.vncPort, o_.connectTimeoutMs);
        Log(1, "viewer connected: relaying to %s:%s", o_.vncHost.c_str(), o_.vncPort.c_str());
    }
}

void PhoneSim::EndSession(const char* why) {
    if (!session_) return;
    Log(1, "session ended: %s", why);
    session_.reset();
}

void PhoneSim::HandleFrame() {
    ++frames_;
    ++framesSinceHello_;
    Log(2, "rx %s %u (frame %ld)", TypeName(in_.type), in_.length, frames_);
    bool gather = false;
    switch (in_.type) {
        case LINK_DATA:
            if (in_.length == 0) break;
            if (session_) {
                session_->FromViewer(in_.payload, in_.length);
                gather = true;
            } else {
                Log(1, "viewer bytes without a session dropped (%u)", in_.length);
            }
            break;
        case LINK_CLIENT_CONNECTED:
            EndSession("a new viewer replaces it");
            StartSession();
            gather = true;
            break;
        case LINK_CLIENT_DISCONNECTED:
            EndSession("the viewer has gone");
            break;
        case LINK_SYNC_CONFIG:
            // Read as five bytes whatever the length says, as the PC does.
            pcConfigSeen_ = true;
            pcFlags_ = in_.payload[0];
            pcLimit_ = GetBigEndian(in_.payload, 1, 4);
            Log(1, "PC sync config: flags %u, limit %u", pcFlags_, pcLimit_);
            break;
        case LINK_FILE_START:
            if (!folder_ || !o_.syncFlag) {
                Log(1, "file from the PC ignored: synchronisation is off here");
                break;
            }
            folder_->AbortOutgoing();
            folder_->StartIncoming(
                std::string(reinterpret_cast<const char*>(in_.payload), in_.length));
            break;
        case LINK_FILE_DATA:
            if (folder_) folder_->IncomingData(in_.payload, in_.length);
            break;
        case LINK_FILE_END:
            if (folder_) folder_->EndIncoming();
            break;
        default:
            Log(1, "the PC sent %s; answering with an empty frame", TypeName(in_.type));
            break;
    }
    if (gather && session_)
        if (auto* remote = dynamic_cast<RemoteSession*>(session_.get()))
            remote->Gather(o_.gatherMs);
    if (in_.type == LINK_SYNC_CONFIG) {
        Fault fault;
        if (DueFault(fault)) return DoFault(fault);
        uint8_t config[5] = {static_cast<uint8_t>(o_.syncFlag)};
        PutBigEndian(config, 1, 4, o_.syncLimit);
        return SendFrame(LINK_SYNC_CONFIG, config, sizeof config);
    }
    Reply();
}

void PhoneSim::Reply() {
    Fault fault;
    if (DueFault(fault)) return DoFault(fault);
    uint8_t* payload = out_ + kLinkHeaderSize;
    if (session_) {
        session_->Tick();
        if (session_->HasOutput()) {
            size_t n = session_->ToViewer(payload, kLinkMaxPayload);
            return SendFrame(LINK_DATA, payload, n);
        }
        if (session_->Ended()) {
            EndSession("the server closed it");
            return SendFrame(LINK_CLOSE_CLIENT, nullptr, 0);
        }
    }
    bool mayStart = o_.syncFlag & 1 && pcConfigSeen_ && pcFlags_ & 1;
    if (folder_ && !folder_->Receiving() && (mayStart || folder_->Sending())) {
        uint8_t type = 0;
        size_t length = 0;
        if (folder_->NextOutgoing(std::min(o_.syncLimit, pcLimit_), type, payload, length))
            return SendFrame(type, payload, length);
    }
    SendFrame(LINK_DATA, nullptr, 0);
}

bool PhoneSim::DueFault(Fault& fault) {
    if (o_.restartAfterBytes > 0 && !restarted_ && folder_ &&
        folder_->MovedBytes() >= uint64_t(o_.restartAfterBytes)) {
        restarted_ = true;
        fault = Fault{};
        fault.kind = FaultKind::UsbDisconnect;
        return true;
    }
    for (const Fault& f : o_.faults)
        if (f.atFrame == frames_) {
            fault = f;
            return true;
        }
    if (armed_.empty()) return false;
    fault = armed_.front();
    armed_.pop_front();
    return true;
}

void PhoneSim::DoFault(const Fault& fault) {
    switch (fault.kind) {
        case FaultKind::Stall: {
            // A LINK_DATA header announcing 16 bytes, then only half of them.
            const uint8_t partial[] = {LINK_DATA, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0};
            Log(1, "misbehaving: stalling in the middle of a frame");
            SendRaw(partial, sizeof partial);
            stalled_ = true;
            stallEnd_ = Clock::now() + std::chrono::seconds(o_.stallSeconds);
            break;
        }
        case FaultKind::BadType:
            Log(1, "misbehaving: replying with type %u", fault.badType);
            SendFrame(fault.badType, nullptr, 0);
            break;
        case FaultKind::TooLong: {
            const uint8_t header[] = {LINK_DATA, 0x10, 0x01};  // 4097
            Log(1, "misbehaving: replying with a length of 4097");
            SendRaw(header, sizeof header);
            break;
        }
        case FaultKind::UsbDisconnect:
            Log(1, "server stopping: LINK_USB_DISCONNECT");
            SendFrame(LINK_USB_DISCONNECT, nullptr, 0);
            EndSession("the server stopped");
            if (folder_ && o_.forgetOnRestart) folder_->Forget();
            if (o_.usb && o_.restartDelayMs >= 0) {
                helloDue_ = true;
                helloAt_ = Clock::now() + milliseconds(o_.restartDelayMs);
            }
            break;
        case FaultKind::CloseClient:
            Log(1, "closing the viewer: LINK_CLOSE_CLIENT");
            SendFrame(LINK_CLOSE_CLIENT, nullptr, 0);
            EndSession("the phone closed it");
            break;
    }
}

// The PC opening the port anew is the phone being plugged in again: once the
// link has been used since the last hello, the old state is gone and the
// server announces itself again. An open before any frame is the one the
// waiting hello is for, and a second hello then would be read as a frame.
void PhoneSim::OnPcOpened() {
    Log(1, "the PC opened the port");
    if (framesSinceHello_ == 0) return;
    stalled_ = false;
    link_.Flush();
    EndSession("the PC reopened the port");
    if (o_.usb) {
        helloDue_ = true;
        helloAt_ = Clock::now() + milliseconds(o_.helloDelayMs);
    }
}

void PhoneSim::EndStall() {
    Log(1, "stall over: link reset");
    stalled_ = false;
    link_.Flush();
    EndSession("the link was reset");
    if (o_.usb) SendHello();
}

// Each command is acknowledged on standard output once it has taken effect,
// so that a script can wait for it instead of guessing a delay.
void PhoneSim::HandleControlLine(const std::string& line) {
    Fault fault;
    bool known = true;
    if (line == "quit") {
        quit_ = true;
    } else if (line == "hello") {
        SendHello();
    } else if (ParseAction(line, fault)) {
        Log(1, "armed: %s", line.c_str());
        armed_.push_back(fault);
    } else if (line.empty()) {
        return;
    } else {
        known = false;
        Log(0, "unknown command: %s", line.c_str());
    }
    std::printf("%s %s\n", known ? "ok" : "unknown", line.c_str());
    std::fflush(stdout);
}

int PhoneSim::PollTimeout() const {
    auto now = Clock::now();
    long ms = -1;
    auto until = [&](Clock::time_point t) {
        long left = std::max<long>(0, std::chrono::ceil<milliseconds>(t - now).count());
        ms = ms < 0 ? left : std::min(ms, left);
    };
    if (helloDue_) until(helloAt_);
    if (stalled_ && o_.stallSeconds > 0) until(stallEnd_);
    return static_cast<int>(ms);
}

int PhoneSim::Run() {
    std::string ptyPath;
    if (o_.device.empty() ? !link_.OpenPty(ptyPath) : !link_.OpenDevice(o_.device)) return 1;
    link_.SetPace(o_.bytesPerSecond, o_.latencyMs);
    if (!o_.usb) link_.SetModemLines(true);
    if (!o_.syncDir.empty())
        folder_ = std::make_unique<PhoneFolder>(o_.syncDir, o_.sendExisting, o_.stateFile);
    if (!ptyPath.empty()) {
        std::printf("PTY %s\n", ptyPath.c_str());
        std::fflush(stdout);
    }
    Log(1, "%s mode on %s", o_.usb ? "USB" : "Bluetooth",
        o_.device.empty() ? ptyPath.c_str() : o_.device.c_str());
    if (o_.usb) {
        helloDue_ = true;
        helloAt_ = Clock::now() + milliseconds(o_.helloDelayMs);
    }
    controlOpen_ = o_.control;

    while (!quit_) {
        if (helloDue_ && Clock::now() >= helloAt_) SendHello();
        if (stalled_ && o_.stallSeconds > 0 && Clock::now() >= stallEnd_) EndStall();

        pollfd fds[5] = {{gSignalPipe[0], POLLIN, 0},
                         {link_.Fd(), POLLIN, 0},
                         {-1, 0, 0},
                         {-1, 0, 0},
                         {link_.OpenWatchFd(), POLLIN, 0}};
        if (session_ && session_->Fd() >= 0) {
            fds[2].fd = session_->Fd();
            fds[2].events = static_cast<short>((session_->WantsRead() ? POLLIN : 0) |
                                               (session_->WantsWrite() ? POLLOUT : 0));
        }
        if (controlOpen_) fds[3] = {STDIN_FILENO, POLLIN, 0};
        if (poll(fds, 5, PollTimeout()) < 0) {
            if (errno == EINTR) continue;
            Log(0, "poll failed: %s", std::strerror(errno));
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            char signals[16];
            ssize_t n = read(gSignalPipe[0], signals, sizeof signals);
            for (ssize_t i = 0; i < n; ++i) {
                if (signals[i] == 'q') quit_ = true;
                if (signals[i] != 'u') continue;
                for (const Fault& f : o_.faults)
                    if (f.atFrame == 0) armed_.push_back(f);
                Log(1, "SIGUSR1: %zu fault(s) armed", armed_.size());
                if (o_.control) {
                    std::printf("ok SIGUSR1\n");
                    std::fflush(stdout);
                }
            }
        }
        if (fds[3].revents) {
            char buffer[256];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                controlOpen_ = false;  // commands have ended; phone-sim goes on
            } else {
                controlBuffer_.append(buffer, static_cast<size_t>(n));
                for (size_t eol; (eol = controlBuffer_.find('\n')) != std::string::npos;) {
                    std::string line = controlBuffer_.substr(0, eol);
                    controlBuffer_.erase(0, eol + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    HandleControlLine(line);
                }
            }
        }
        if (session_ && fds[2].fd >= 0 && fds[2].revents)
            session_->OnReady(fds[2].revents & (POLLIN | POLLHUP | POLLERR),
                              fds[2].revents & POLLOUT);
        // Opens are queued before anything the PC writes after them, so taking
        // them first keeps the two in order.
        if (link_.OpenWatchFd() >= 0 && link_.TakeOpens() > 0) OnPcOpened();
        if (fds[1].revents) {
            if (!link_.ReadAvailable()) return 1;
            for (;;) {
                SerialLink::Next next = link_.NextFrame(in_);
                if (next == SerialLink::Next::None || quit_) break;
                if (stalled_) continue;  // what the PC sends while we stall is lost
                if (next == SerialLink::Next::TooLong) {
                    // The stream is out of step; only a fresh start can resynchronise.
                    Log(0, "the PC sent a frame of length %u (type %u); input dropped", in_.length,
                        in_.type);
                    link_.Flush();
                    break;
                }
                link_.Received(kLinkHeaderSize + in_.length);
                HandleFrame();
            }
        }
    }
    if (!o_.usb) link_.SetModemLines(false);
    Log(1, "ended");
    return exitStatus_;
}

}  // namespace
}  // namespace kivro::phonesim

int main(int argc, char** argv) {
    using namespace kivro::phonesim;
    Options options;
    int parsed = ParseOptions(argc, argv, options);
    if (parsed != 0) return parsed == 1 ? 0 : 2;
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("phone-sim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return PhoneSim(std::move(options)).Run();
}
