// phone-sim: the far end of the serial link, behaving as the phone's server
// does. One thread and one poll loop: the link, the VNC session's socket, a
// signal pipe and (with --control) standard input. The PC leads: every frame it
// sends gets exactly one reply, chosen here in a fixed order (a due fault, the
// sync answer, the viewer's bytes, an end of session, a file message, an empty
// poll answer); nothing is ever sent unasked but the USB hello. Faults for tests
// replace one reply and are armed by frame number, by SIGUSR1 or by a command.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "PhoneFolder.h"
#include "RemoteSession.h"
#include "RfbScreen.h"
#include "SerialLink.h"

namespace kivro::phonesim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class FaultKind { Stall, BadType, TooLong, UsbDisconnect, CloseClient };

struct Fault {
    FaultKind kind = FaultKind::Stall;
    uint8_t badType = 3;
    long atFrame = 0;  // 0: armed by SIGUSR1 instead
};

struct Options {
    std::string device;
    bool usb = true;
    int helloDelayMs = 0;
    int restartDelayMs = 1000;
    std::string vncHost, vncPort;
    int connectTimeoutMs = 5000;
    int gatherMs = 50;
    std::string syncDir;
    int syncFlag = -1;  // -1: on when a folder is given
    uint32_t syncLimit = 1048576;
    bool sendExisting = false;
    std::vector<Fault> faults;
    int stallSeconds = 0;
    bool control = false;
    uint32_t bytesPerSecond = 0;
    int latencyMs = 0;
    long restartAfterBytes = 0;  // 0: never
    bool forgetOnRestart = false;
    std::string stateFile;
};

const char kUsage[] =
    "Usage: phone-sim [OPTIONS] [DEVICE]\n"
    "Plays the phone's end of the KivroProxy serial link. Without DEVICE it makes a\n"
    "pty pair and prints \"PTY <path>\" on standard output: give that path to the PC.\n"
    "\n"
    "Link:\n"
    "  --usb                 USB port behaviour: send the hello when the server starts (default)\n"
    "  --bt                  Bluetooth port behaviour: no hello; raise DTR and RTS on a real "
    "device\n"
    "  --hello-delay MS      start the server (send the hello) MS after start-up (default 0)\n"
    "  --restart-delay MS    after a usb-disconnect, restart the server after MS; -1: never\n"
    "                        (default 1000)\n"
    "  --bps N               emulate a line of N bytes per second (default: full speed)\n"
    "  --latency MS          wait MS before each reply (default 0)\n"
    "VNC:\n"
    "  --vnc HOST:PORT       relay sessions to this VNC server (default: the built-in screen)\n"
    "  --connect-timeout MS  time allowed to connect to it (default 5000)\n"
    "  --gather MS           wait up to MS for the server's answer before replying (default 50)\n"
    "File synchronisation:\n"
    "  --sync-dir DIR        the phone's folder: files dropped in go to the PC, files from the\n"
    "                        PC are stored there\n"
    "  --sync-flag 0|1       the flag announced in LINK_SYNC_CONFIG (default 1 with --sync-dir)\n"
    "  --sync-limit BYTES    the size limit announced (default 1048576)\n"
    "  --send-existing       also send the files present at start-up\n"
    "  --sync-state FILE     keep the record of files in sync in FILE across runs, as a\n"
    "                        phone does across reboots: at start-up the files that differ\n"
    "                        from it are sent\n"
    "Misbehaviour for tests:\n"
    "  --fault ACTION@N      do ACTION instead of the reply to the PC's N-th frame\n"
    "  --fault ACTION@signal do ACTION instead of the next reply after each SIGUSR1\n"
    "                        ACTION: stall, bad-type[=T] (default 3), too-long, usb-disconnect,\n"
    "                        close-client\n"
    "  --stall-seconds S     a stall ends after S seconds (input dropped, link reset, hello\n"
    "                        again in USB mode); 0: never (default)\n"
    "  --restart-after-bytes N  once N bytes of files have moved either way, the server\n"
    "                        restarts in place of the next reply (a usb-disconnect), once\n"
    "  --on-restart keep|forget  what a server restart does to a file transfer under way:\n"
    "                        carry on with it afterwards, or lose it as a restarted phone\n"
    "                        does (an outgoing file is offered again later; default keep)\n"
    "  --control             read commands from standard input, one a line: an ACTION (done\n"
    "                        instead of the next reply), \"hello\" (send it now) or \"quit\";\n"
    "                        each is acknowledged on standard output (\"ok <command>\"), and so\n"
    "                        is SIGUSR1 (\"ok SIGUSR1\")\n"
    "Other:\n"
    "  -v, --verbose         log what happens on standard error; twice: every frame\n"
    "  -h, --help            this text\n";

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

bool ParseAction(const std::string& text, Fault& fault) {
    if (text == "stall") {
        fault.kind = FaultKind::Stall;
    } else if (text == "too-long") {
        fault.kind = FaultKind::TooLong;
    } else if (text == "usb-disconnect") {
        fault.kind = FaultKind::UsbDisconnect;
    } else if (text == "close-client") {
        fault.kind = FaultKind::CloseClient;
    } else if (text.rfind("bad-type", 0) == 0) {
        fault.kind = FaultKind::BadType;
        long type = 3;
        if (text.size() > 8 && (text[8] != '=' && text[8] != ' ')) return false;
        if (text.size() > 8 && !ParseNumber(text.c_str() + 9, 0, 255, type)) return false;
        fault.badType = static_cast<uint8_t>(type);
    } else {
        return false;
    }
    return true;
}

bool ParseFault(const std::string& spec, Fault& fault) {
    size_t at = spec.rfind('@');
    if (at == std::string::npos || !ParseAction(spec.substr(0, at), fault)) return false;
    std::string when = spec.substr(at + 1);
    long n = 0;
    if (when == "signal") {
        fault.atFrame = 0;
    } else if (ParseNumber(when.c_str(), 1, 1L << 40, n)) {
        fault.atFrame = n;
    } else {
        return false;
    }
    return true;
}

bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return true;
}

// 0 on success, 2 with the message printed on a bad command line, 1 for --help.
int ParseOptions(int argc, char** argv, Options& o) {
    enum {
        kUsb = 256,
        kBt,
        kHelloDelay,
        kRestartDelay,
        kBps,
        kLatency,
        kVnc,
        kConnectTimeout,
        kGather,
        kSyncDir,
        kSyncFlag,
        kSyncLimit,
        kSendExisting,
        kFault,
        kStallSeconds,
        kControl,
        kRestartAfterBytes,
        kOnRestart,
        kSyncState
    };
    static const option longOptions[] = {
        {"usb", no_argument, nullptr, kUsb},
        {"bt", no_argument, nullptr, kBt},
        {"hello-delay", required_argument, nullptr, kHelloDelay},
        {"restart-delay", required_argument, nullptr, kRestartDelay},
        {"bps", required_argument, nullptr, kBps},
        {"latency", required_argument, nullptr, kLatency},
        {"vnc", required_argument, nullptr, kVnc},
        {"connect-timeout", required_argument, nullptr, kConnectTimeout},
        {"gather", required_argument, nullptr, kGather},
        {"sync-dir", required_argument, nullptr, kSyncDir},
        {"sync-flag", required_argument, nullptr, kSyncFlag},
        {"sync-limit", required_argument, nullptr, kSyncLimit},
        {"send-existing", no_argument, nullptr, kSendExisting},
        {"fault", required_argument, nullptr, kFault},
        {"stall-seconds", required_argument, nullptr, kStallSeconds},
        {"control", no_argument, nullptr, kControl},
        {"restart-after-bytes", required_argument, nullptr, kRestartAfterBytes},
        {"on-restart", required_argument, nullptr, kOnRestart},
        {"sync-state", required_argument, nullptr, kSyncState},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const long kMaxMs = 24L * 3600 * 1000;
    for (int c; (c = getopt_long(argc, argv, "vh", longOptions, nullptr)) != -1;) {
        long n = 0;
        bool ok = true;
        switch (c) {
            case kUsb:
                o.usb = true;
                break;
            case kBt:
                o.usb = false;
                break;
            case kHelloDelay:
                ok = ParseNumber(optarg, 0, kMaxMs, n), o.helloDelayMs = int(n);
                break;
            case kRestartDelay:
                ok = ParseNumber(optarg, -1, kMaxMs, n), o.restartDelayMs = int(n);
                break;
            case kBps:
                ok = ParseNumber(optarg, 0, 1L << 30, n), o.bytesPerSecond = uint32_t(n);
                break;
            case kLatency:
                ok = ParseNumber(optarg, 0, kMaxMs, n), o.latencyMs = int(n);
                break;
            case kVnc:
                ok = SplitHostPort(optarg, o.vncHost, o.vncPort);
                break;
            case kConnectTimeout:
                ok = ParseNumber(optarg, 1, kMaxMs, n), o.connectTimeoutMs = int(n);
                break;
            case kGather:
                ok = ParseNumber(optarg, 0, kMaxMs, n), o.gatherMs = int(n);
                break;
            case kSyncDir:
                o.syncDir = optarg;
                break;
            case kSyncFlag:
                ok = ParseNumber(optarg, 0, 255, n), o.syncFlag = int(n);
                break;
            case kSyncLimit:
                ok = ParseNumber(optarg, 0, 0xFFFFFFFFL, n), o.syncLimit = uint32_t(n);
                break;
            case kSendExisting:
                o.sendExisting = true;
                break;
            case kFault: {
                Fault f;
                ok = ParseFault(optarg, f);
                if (ok) o.faults.push_back(f);
                break;
            }
            case kStallSeconds:
                ok = ParseNumber(optarg, 0, 86400, n), o.stallSeconds = int(n);
                break;
            case kControl:
                o.control = true;
                break;
            case kRestartAfterBytes:
                ok = ParseNumber(optarg, 1, 1L << 40, n), o.restartAfterBytes = n;
                break;
            case kOnRestart:
                ok = std::strcmp(optarg, "keep") == 0 || std::strcmp(optarg, "forget") == 0;
                o.forgetOnRestart = std::strcmp(optarg, "forget") == 0;
                break;
            case kSyncState:
                o.stateFile = optarg;
                break;
            case 'v':
                ++gVerbosity;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 1;
            default:
                std::fputs("Try 'phone-sim --help'.\n", stderr);
                return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "phone-sim: bad value for --%s: %s\nTry 'phone-sim --help'.\n",
                         longOptions[c - kUsb].name, optarg);
            return 2;
        }
    }
    if (optind + 1 < argc) {
        std::fputs("phone-sim: only one DEVICE may be given\n", stderr);
        return 2;
    }
    if (optind < argc) o.device = argv[optind];
    if (o.syncFlag < 0) o.syncFlag = o.syncDir.empty() ? 0 : 1;
    return 0;
}

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
    if (o_.latencyMs > 0) std::this_thread::sleep_for(milliseconds(o_.latencyMs));
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
    link_.SetPace(o_.bytesPerSecond);
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
                link_.Pace(kLinkHeaderSize + in_.length);
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
