// Both command-line forms with fuzzed text: the first byte picks the Windows
// command line (the rest as one terminated text) or an argv (the rest cut at
// NUL bytes into whole arguments). Whatever the text, every path field must
// stay terminated inside its capacity and the port must stay a valid port.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzTarget.h"
#include "app/CommandLine.h"
#include "platform/System.h"
#include "text/Text.h"

using namespace kivro;

namespace {

void CheckSettings(const Settings& s, int32_t portBefore) {
    for (const char* field : {s.BTComPort, s.USBComPort, s.SyncDir, s.SyncExclude}) {
        size_t capacity = field == s.SyncExclude ? kExcludeCapacity : kPathCapacity;
        KIVRO_FUZZ_REQUIRE(std::memchr(field, '\0', capacity) != nullptr);
    }
    KIVRO_FUZZ_REQUIRE(s.TCPPort == portBefore || (s.TCPPort >= 1 && s.TCPPort <= 65535));
}

}  // namespace

KIVRO_FUZZ_TARGET(CommandLine)(const uint8_t* data, size_t size) {
    static const bool kTable = (platform::InitUpperTable(), true);
    (void)kTable;
    if (size == 0) return 0;
    Settings settings = DefaultSettings();
    int32_t portBefore = settings.TCPPort;
    size_t errors = 0;
    ErrorSink sink = [&](const char* text) {
        KIVRO_FUZZ_REQUIRE(std::strlen(text) > 0);  // an error always says something
        ++errors;
    };

    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;
    if (data[0] & 1) {
        std::string line(text, length);  // terminated, as the system gives it
        bool ok = ParseCommandLine(line.c_str(), settings, sink);
        KIVRO_FUZZ_REQUIRE(ok == (errors == 0));
    } else {
        std::vector<std::string> arguments{"kivroproxy"};
        size_t start = 0;
        for (size_t i = 0; i <= length; ++i) {
            if (i == length || text[i] == '\0') {
                arguments.emplace_back(text + start, i - start);
                start = i + 1;
            }
        }
        std::vector<const char*> argv;
        for (const std::string& a : arguments) argv.push_back(a.c_str());
        ArgumentsResult result =
            ParseArguments(static_cast<int>(argv.size()), argv.data(), settings, sink);
        KIVRO_FUZZ_REQUIRE((result == ArgumentsResult::Failed) == (errors == 1));
    }
    CheckSettings(settings, portBefore);
    return 0;
}
