// kivroproxy, the Linux console front end: loads the settings file, applies the
// command line on top for this run, and until the engine runs here prints the
// version and the settings it would run with. Every text the Windows program
// shows in a message box goes to standard error as "KivroProxy: " + text; a bad
// option ends with status 2 before the settings file is touched.
#include <cstdio>

#include "app/CommandLine.h"
#include "app/Messages.h"
#include "platform/SettingsStorage.h"
#include "resources/Resource.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"
#include "text/FormatText.h"
#include "text/Text.h"

namespace kivro {
namespace {

constexpr int kExitBadOption = 2;

void ShowError(const char* text) {
    std::fprintf(stderr, "KivroProxy: %s\n", text);
}

// Settings texts may fill their arrays without a terminator.
template <size_t N>
int Len(const char (&text)[N]) {
    return static_cast<int>(TextLength(text));
}

void PrintVersion() {
    char line[128];
    if (!LoadMessage(MSG_MAIN_TITLE, line)) TextCopy(line, "KivroProxy");
    TextAppend(line, " %c.%'02c");
    FormatText(line, {uint32_t{KIVRO_VERSION_MAJOR}, uint32_t{KIVRO_VERSION_MINOR}});
    std::printf("%.*s\n", Len(line), line);
}

void PrintHelp(const char* settingsPath) {
    const Settings d = DefaultSettings();
    std::printf(
        "Usage: kivroproxy [OPTION]...\n"
        "Relays a VNC viewer on this computer to the VNC server of a phone over a\n"
        "Bluetooth or USB serial port.\n"
        "\n"
        "Options override the settings file for this run only; they are never stored.\n"
        "  --port=N      TCP port the VNC viewer connects to, 1 to 65535\n"
        "  --bt=PORT     Bluetooth serial port (a name without \"/\" means /dev/PORT)\n"
        "  --usb=PORT    USB serial port\n"
        "  --sync=DIR    keep DIR in step with the phone (turns synchronisation on)\n"
        "  --help        show this help and exit\n"
        "  --version     show the version and exit\n"
        "The Windows spellings /port:N, /bt:PORT, /usb:PORT and /sync:DIR work too.\n"
        "\n"
        "Settings file: %s\n"
        "The key HKEY_CURRENT_USER\\%s in REGEDIT4 form, with the values:\n"
        "  TCPPort      dword  TCP port for the VNC viewer (default %d)\n"
        "  BTComAuto    dword  1: find the Bluetooth port by itself; 0: use BTComPort\n"
        "  BTComPort    text   Bluetooth serial port (default %.*s)\n"
        "  USBComAuto   dword  1: find the USB port by itself; 0: use USBComPort\n"
        "  USBComPort   text   USB serial port (default %.*s)\n"
        "  DoSync       dword  1: keep SyncDir in step with the phone\n"
        "  SyncDir      text   the synchronised directory (default %.*s)\n"
        "  MaxSyncSize  dword  largest file sent, in bytes (default %d)\n"
        "  SyncExclude  text   patterns of files never sent (default %.*s)\n"
        "  IsRunning    dword  stored at exit; not read on Linux\n"
        "\n"
        "A bad option ends the program with exit status 2.\n",
        settingsPath, kSettingsKeyPath, d.TCPPort, Len(d.BTComPort), d.BTComPort, Len(d.USBComPort),
        d.USBComPort, Len(d.SyncDir), d.SyncDir, d.MaxSyncSize, Len(d.SyncExclude), d.SyncExclude);
}

// IsRunning is left out: Linux starts the proxy at launch whatever it says.
void PrintSettings(const char* settingsPath, const Settings& s) {
    std::printf(
        "Settings file: %s\n"
        "TCPPort=%d\n"
        "BTComAuto=%d\n"
        "BTComPort=%.*s\n"
        "USBComAuto=%d\n"
        "USBComPort=%.*s\n"
        "DoSync=%d\n"
        "SyncDir=%.*s\n"
        "MaxSyncSize=%d\n"
        "SyncExclude=%.*s\n",
        settingsPath, s.TCPPort, s.BTComAuto, Len(s.BTComPort), s.BTComPort, s.USBComAuto,
        Len(s.USBComPort), s.USBComPort, s.DoSync, Len(s.SyncDir), s.SyncDir, s.MaxSyncSize,
        Len(s.SyncExclude), s.SyncExclude);
}

int Run(int argc, char** argv) {
    InitUpperTable();

    char path[4096];
    if (!platform::SettingsFilePath(path, sizeof path)) TextCopy(path, "(no home folder)");

    // A first pass over defaults decides whether to run at all, so that --help,
    // --version and a bad option never create or touch the settings file.
    Settings probe = DefaultSettings();
    switch (ParseArguments(argc, argv, probe, ShowError)) {
        case ArgumentsResult::Failed:
            return kExitBadOption;
        case ArgumentsResult::Help:
            PrintHelp(path);
            return 0;
        case ArgumentsResult::Version:
            PrintVersion();
            return 0;
        case ArgumentsResult::Run:
            break;
    }

    const Settings defaults = DefaultSettings();
    Settings settings = defaults;
    if (path[0] == '/') {
        // A file that cannot be created or read leaves the defaults, as a
        // missing registry key does on Windows.
        platform::CreateDefaultSettingsFile(path, defaults, kSettingsKeyPath);
        SettingsStore store(platform::CreateSettingsFileStore(path));
        if (store.OpenKey(kSettingsKeyPath)) LoadSettings(store, settings);
    }
    ParseArguments(argc, argv, settings, ShowError);

    PrintVersion();
    PrintSettings(path, settings);
    return 0;
}

}  // namespace
}  // namespace kivro

int main(int argc, char** argv) {
    return kivro::Run(argc, argv);
}
