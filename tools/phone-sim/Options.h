// phone-sim's command line: the options with their checks and the usage text.
// The fault actions are parsed here too, because the --control commands of a
// running phone-sim use the same words as --fault. getopt_long does the
// splitting; each value is checked against its range here, so a mistyped test
// fails at start-up and not halfway through a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivro::phonesim {

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

// An ACTION of --fault or of a control line: "stall", "bad-type[=T]" (also
// "bad-type T"), "too-long", "usb-disconnect", "close-client". False for
// anything else; fault keeps its frame number.
bool ParseAction(const std::string& text, Fault& fault);

// 0 on success, 2 with the message printed on a bad command line, 1 for --help
// (the usage printed on standard output). -v raises gVerbosity.
int ParseOptions(int argc, char** argv, Options& o);

}  // namespace kivro::phonesim
