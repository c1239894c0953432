// phone-sim's command line: getopt_long with a range check for every value;
// the usage text is kept beside the option table so the two are changed together.
#include "Options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace kivro::phonesim {
namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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
}  // namespace kivro::phonesim
