// The command-line overrides in both spellings and the error-box texts they
// produce. Each case starts from one stored record and checks every field the
// options may touch, so an option that writes the wrong field shows up too.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/ErrorBox.h"
#include "platform/System.h"
#include "text/Text.h"

namespace kivro {
namespace {

Settings Stored() {
    Settings s{};
    s.IsRunning = true;
    s.TCPPort = 5900;
    s.BTComAuto = true;
    s.USBComAuto = false;
    std::strcpy(s.BTComPort, "COM3");
    std::strcpy(s.USBComPort, "COM8");
    s.DoSync = false;
    std::strcpy(s.SyncDir, "C:\\");
    s.MaxSyncSize = 4096000;
    std::strcpy(s.SyncExclude, "*.tmp");
    return s;
}

// What a case expects; fields left out keep the stored value.
struct Expect {
    const char* error = nullptr;  // the whole error text, nullptr when accepted
    int32_t port = 5900;
    const char* bt = "COM3";
    const char* usb = "COM8";
    const char* sync = "C:\\";
    bool doSync = false;
};

struct Outcome {
    Settings settings;
    std::vector<std::string> errors;
};

void CheckOutcome(const Outcome& got, const Expect& want, const std::string& label) {
    SCOPED_TRACE(label);
    if (want.error) {
        ASSERT_EQ(got.errors.size(), 1u);
        EXPECT_EQ(got.errors[0], want.error);
    } else {
        EXPECT_TRUE(got.errors.empty()) << got.errors[0];
    }
    const Settings& s = got.settings;
    EXPECT_EQ(s.TCPPort, want.port);
    EXPECT_STREQ(s.BTComPort, want.bt);
    EXPECT_STREQ(s.USBComPort, want.usb);
    EXPECT_STREQ(s.SyncDir, want.sync);
    EXPECT_EQ(s.DoSync, want.doSync);
    // Never touched by any option.
    EXPECT_TRUE(s.IsRunning);
    EXPECT_TRUE(s.BTComAuto);
    EXPECT_FALSE(s.USBComAuto);
    EXPECT_EQ(s.MaxSyncSize, 4096000);
    EXPECT_STREQ(s.SyncExclude, "*.tmp");
}

Outcome RunCommandLine(const std::string& line, bool& result) {
    Outcome out{Stored(), {}};
    result = ParseCommandLine(line.c_str(), out.settings,
                              [&](const char* text) { out.errors.emplace_back(text); });
    return out;
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override { platform::InitUpperTable(); }

    void Check(const std::string& line, const Expect& want) {
        bool result = false;
        Outcome got = RunCommandLine(line, result);
        EXPECT_EQ(result, want.error == nullptr) << line;
        CheckOutcome(got, want, line);
    }
};

TEST_F(CommandLine, WindowsOptions) {
    struct Case {
        const char* line;
        Expect want;
    } cases[] = {
        {"kivro.exe", {}},
        {"kivro.exe   ", {}},
        {"kivro.exe /port:80 /PORT:81", {.port = 81}},
        {"kivro.exe /Port:+80", {.port = 80}},
        {"kivro.exe /port:0080", {.port = 80}},
        {"kivro.exe /port:1", {.port = 1}},
        {"kivro.exe /port:65535", {.port = 65535}},
        {"kivro.exe /port:0", {.error = "Invalid server TCP port '0'"}},
        {"kivro.exe /port:65536", {.error = "Invalid server TCP port '65536'"}},
        {"kivro.exe /port:-1", {.error = "Invalid server TCP port '-1'"}},
        {"kivro.exe /port:59x", {.error = "Invalid server TCP port '59x'"}},
        {"kivro.exe /port:+", {.error = "Invalid server TCP port '+'"}},
        {"kivro.exe /port:99999999999", {.error = "Invalid server TCP port '99999999999'"}},
        {"kivro.exe /port:", {.error = "Invalid server TCP port ''"}},
        // The blank ends the argument: an empty value, and 5900 is never reached.
        {"kivro.exe /port: 5900", {.error = "Invalid server TCP port ''"}},
        {"kivro.exe /bt:COM5", {.bt = "COM5"}},
        {"kivro.exe /BT:com7 /usb:COM12", {.bt = "com7", .usb = "COM12"}},
        {"kivro.exe /bt:", {.bt = ""}},
        {"kivro.exe /usb:", {.usb = ""}},
        {"kivro.exe /sync:", {.sync = "", .doSync = true}},
        {"kivro.exe /SYNC:D:\\Phone", {.sync = "D:\\Phone", .doSync = true}},
        // A quote is part of a value.
        {"kivro.exe /bt:\"COM5\"", {.bt = "\"COM5\""}},
        {"kivro.exe -port:5900", {.error = "Invalid command line option '-port:5900'"}},
        {"kivro.exe /port", {.error = "Invalid command line option '/port'"}},
        {"kivro.exe port:5900", {.error = "Invalid command line option 'port:5900'"}},
        {"kivro.exe /port5900", {.error = "Invalid command line option '/port5900'"}},
        {"kivro.exe /portx:1", {.error = "Invalid command line option '/portx:1'"}},
        {"kivro.exe --port=80", {.error = "Invalid command line option '--port=80'"}},
        {"\"C:\\Program Files\\Kivro\\kivro.exe\" /port:81", {.port = 81}},
        {"\"C:\\Program Files\\Kivro\\kivro.exe\"/port:82", {.port = 82}},
        // A quote without its partner swallows the whole line as the program name.
        {"\"C:\\Program Files\\kivro.exe /port:0", {}},
        {"kivro.exe \"/port:81\"", {.error = "Invalid command line option '\"/port:81\"'"}},
        // Control characters separate; bytes above 127 belong to names and values.
        {"kivro.exe\t/port:82\x01\x1f/bt:x", {.port = 82, .bt = "x"}},
        {"k\xe9vro.exe /port:83", {.port = 83}},
        {"kivro.exe /bt:COM\xa0\xff", {.bt = "COM\xa0\xff"}},
        // Options before a faulty one are applied, those after it are not.
        {"kivro.exe /port:80 /bt:COM9 /bogus /usb:COM1",
         {.error = "Invalid command line option '/bogus'", .port = 80, .bt = "COM9"}},
        {"kivro.exe /sync:x /port:70000 /usb:COM1",
         {.error = "Invalid server TCP port '70000'", .sync = "x", .doSync = true}},
    };
    for (const Case& c : cases) Check(c.line, c.want);
}

TEST_F(CommandLine, OnlyTheFirst512CharactersCount) {
    const std::string option = "/port:6000";
    auto lineEndingAt = [&](size_t end) {
        std::string line = "kivro.exe";
        line.append(end - option.size() - line.size(), ' ');
        return line + option + " /bogus";
    };
    Check(lineEndingAt(512), {.port = 6000});      // "/bogus" lies beyond the window
    Check(lineEndingAt(513), {.port = 600});       // the last digit is cut off
    Check(lineEndingAt(512 + option.size()), {});  // the whole option is outside
    Check(std::string("kivro.exe /port:81\0/bogus", 25), {.port = 81});
}

TEST_F(CommandLine, LongArgumentsAreCutTo260Characters) {
    const std::string name(300, 'A');
    Check("kivro.exe /bt:" + name, {.bt = name.substr(0, 256).c_str()});
    Check("kivro.exe /sync:" + name, {.sync = name.substr(0, 254).c_str(), .doSync = true});
}

Outcome RunArguments(std::vector<const char*> args, ArgumentsResult& result) {
    args.insert(args.begin(), "kivroproxy");
    Outcome out{Stored(), {}};
    result = ParseArguments(static_cast<int>(args.size()), args.data(), out.settings,
                            [&](const char* text) { out.errors.emplace_back(text); });
    return out;
}

TEST_F(CommandLine, LinuxArguments) {
    const std::string longName(300, 'B');
    const std::string longBt = "--bt=" + longName;
    const std::string longWindowsBt = "/bt:" + longName;
    const std::string cut = longName.substr(0, 260);
    using R = ArgumentsResult;
    struct Case {
        std::vector<const char*> args;
        R result;
        Expect want;
    } cases[] = {
        {{}, R::Run, {}},
        {{"--port=6000"}, R::Run, {.port = 6000}},
        {{"--port=+0080"}, R::Run, {.port = 80}},
        {{"/PORT:6001"}, R::Run, {.port = 6001}},
        {{"/port:80", "--port=81"}, R::Run, {.port = 81}},
        {{"--bt=/dev/rfcomm1", "--usb=ttyUSB0"}, R::Run, {.bt = "/dev/rfcomm1", .usb = "ttyUSB0"}},
        {{"--usb="}, R::Run, {.usb = ""}},
        // One element is one argument, blanks included.
        {{"--sync=/home/ann/My Phone"}, R::Run, {.sync = "/home/ann/My Phone", .doSync = true}},
        {{"/sync:/tmp/a b"}, R::Run, {.sync = "/tmp/a b", .doSync = true}},
        {{longBt.c_str()}, R::Run, {.bt = cut.c_str()}},
        {{longWindowsBt.c_str()}, R::Run, {.bt = cut.c_str()}},
        {{"/port:80 /port:81"}, R::Failed, {.error = "Invalid server TCP port '80 /port:81'"}},
        {{"--port= 80"}, R::Failed, {.error = "Invalid server TCP port ' 80'"}},
        {{"--port="}, R::Failed, {.error = "Invalid server TCP port ''"}},
        {{"--port=65536"}, R::Failed, {.error = "Invalid server TCP port '65536'"}},
        // GNU spellings are lower case with "=" only.
        {{"--PORT=6000"}, R::Failed, {.error = "Invalid command line option '--PORT=6000'"}},
        {{"--port", "6000"}, R::Failed, {.error = "Invalid command line option '--port'"}},
        {{"--port:6000"}, R::Failed, {.error = "Invalid command line option '--port:6000'"}},
        {{"--bogus"}, R::Failed, {.error = "Invalid command line option '--bogus'"}},
        {{"-h"}, R::Failed, {.error = "Invalid command line option '-h'"}},
        {{"--help=1"}, R::Failed, {.error = "Invalid command line option '--help=1'"}},
        {{""}, R::Failed, {.error = "Invalid command line option ''"}},
        {{"--port=80", "--bt=x", "--bogus", "--usb=y"},
         R::Failed,
         {.error = "Invalid command line option '--bogus'", .port = 80, .bt = "x"}},
        {{"--help"}, R::Help, {}},
        {{"--port=80", "--version", "--bogus"}, R::Version, {.port = 80}},
        {{"--bogus", "--help"}, R::Failed, {.error = "Invalid command line option '--bogus'"}},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const char* a : c.args) label += std::string("[") + a + "]";
        ArgumentsResult result = R::Run;
        Outcome got = RunArguments(c.args, result);
        EXPECT_EQ(result, c.result) << label;
        CheckOutcome(got, c.want, label);
    }
}

TEST(ErrorBox, TextOfMessageWithArgumentOrFallback) {
    const std::string longArg(300, 'x');
    struct Case {
        uint32_t id;
        const char* argument;
        std::string text;
    } cases[] = {
        {3001, "/bogus", "Invalid command line option '/bogus'"},
        {3000, "KivroProxy", "Cannot register window class 'KivroProxy'"},
        {3002, "", "Invalid server TCP port ''"},
        // The argument is inserted as it is, never expanded itself.
        {3001, "%s\\n%%", "Invalid command line option '%s\\n%%'"},
        {3001, nullptr, "Invalid command line option ''"},
        {3001, longArg.c_str(), "Invalid command line option '" + longArg.substr(0, 255) + "'"},
        {9999, "abc", "Unknown Error, arg=abc"},
        {2014, "x", "Unknown Error, arg=x"},  // a number without text in the table
    };
    for (const Case& c : cases) {
        ErrorText text;
        std::memset(text, '#', sizeof text);
        ErrorBoxText(c.id, c.argument, text);
        EXPECT_EQ(std::string(text), c.text) << c.id;
    }
}

}  // namespace
}  // namespace kivro
