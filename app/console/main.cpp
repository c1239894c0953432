// kivroproxy, the Linux console front end. Start-up follows the Windows
// program's order (engine object, settings loaded, command line on top, engine
// started) with the window replaced by the terminal: engine events arrive in an
// EventQueue, signals through a signalfd, and one poll loop on this thread
// hands both to the shared presentation rules, so the log reads exactly as the
// window's would. Signals are blocked before any thread exists so that only the
// signalfd ever sees them; a handler setting flags was the alternative, but it
// could not safely run the shut-down or the reload.
//
// Exit statuses: 0 after SIGINT or SIGTERM (and for --help, --version), 1 when
// the engine fails to start or stops by itself, 2 for a bad option.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/CommandLine.h"
#include "app/Presentation.h"
#include "app/console/ConsoleOutput.h"
#include "app/console/EventQueue.h"
#include "engine/Proxy.h"
#include "platform/System.h"
#include "resources/Resource.h"
#include "settings/Settings.h"
#include "settings/SettingsStorage.h"
#include "settings/SettingsStore.h"
#include "text/FormatText.h"
#include "text/Messages.h"
#include "text/Text.h"
namespace kivro {
namespace {

using console::ConsoleOutput;
using console::EventQueue;

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
        "The proxy starts at once and logs to standard output; errors also go to\n"
        "standard error. SIGINT or SIGTERM stops it (exit status 0); SIGHUP reads the\n"
        "settings file again and restarts the proxy. Exit status 1: the proxy could not\n"
        "start or stopped on an error; 2: a bad option.\n",
        settingsPath, kSettingsKeyPath, d.TCPPort, Len(d.BTComPort), d.BTComPort, Len(d.USBComPort),
        d.USBComPort, Len(d.SyncDir), d.SyncDir, d.MaxSyncSize, Len(d.SyncExclude), d.SyncExclude);
}

// The terminal in the window's place: the shared presentation rules act
// through this shell, and the loop below feeds it engine events and signals.
class Console final : public EventShell {
  public:
    Console(int argc, char** argv, const char* settingsPath, int signalFd)
        : argc_(argc),
          argv_(argv),
          path_(settingsPath),
          signalFd_(signalFd),
          output_(stdout, stderr, isatty(STDOUT_FILENO) == 1),
          proxy_(std::make_unique<Proxy>()) {}

    int Run() {
        if (path_[0] == '/') {
            // A file that cannot be created or read leaves the defaults, as a
            // missing registry key does on Windows.
            CreateDefaultSettingsFile(path_, DefaultSettings(), kSettingsKeyPath);
            store_ = std::make_unique<SettingsStore>(CreateSettingsFileStore(path_));
            if (!store_->OpenKey(kSettingsKeyPath)) store_.reset();
        }
        LoadAll();
        if (!proxy_->Start(&queue_, settings_)) failed_ = true;

        for (;;) {
            ShowEvents();
            if (failed_) return Finish(kExitEngineFailed);
            pollfd fds[2] = {{queue_.WakeFd(), POLLIN, 0}, {signalFd_, POLLIN, 0}};
            if (poll(fds, 2, 1000) < 0 && errno != EINTR) return Finish(kExitEngineFailed);
            if (fds[1].revents & POLLIN) {
                signalfd_siginfo info{};
                if (read(signalFd_, &info, sizeof info) != sizeof info) continue;
                // An engine that stopped by itself before the signal is handled
                // decides the status, whichever of the two this poll saw first.
                ShowEvents();
                if (failed_ || (!proxy_->Running() && !presentation_.RestartPending()))
                    return Finish(kExitEngineFailed);
                if (info.ssi_signo == SIGHUP) {
                    Reload();
                } else {
                    // The window's destruction: the running state, then Shutdown.
                    stopping_ = true;
                    if (store_) SaveExitState(*store_, proxy_->Running(), nullptr);
                    return Finish(0);
                }
            }
        }
    }

    // ---- EventShell
    void UpdateStatus() override {
        // After Finish has let the engine go, its last events meet a stopped state.
        EngineState state;
        if (proxy_)
            state = {proxy_->Running(), proxy_->ClientConnected(), proxy_->ServerConnected()};
        const StatusView view = ViewOfState(state);
        if (view.ClearStatusBar) output_.SetStatusText("");
    }
    void StartEngine() override {
        // A restart that a signal overtook is not carried out.
        if (stopping_ || !proxy_) return;
        if (!proxy_->Start(&queue_, settings_)) failed_ = true;
    }
    void AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) override {
        output_.AppendLog(withTimeStamp, text, withLineEnd);
    }
    void SetStatusText(const char* text) override { output_.SetStatusText(text); }
    void ShowError(const char*, const char* fullText) override { output_.ShowError(fullText); }

  private:
    static constexpr int kExitEngineFailed = 1;

    // Defaults, the file's values, then the command line on top: the same on
    // start and on SIGHUP, so command-line values outlive a reload.
    void LoadAll() {
        settings_ = DefaultSettings();
        if (store_) LoadSettings(*store_, settings_);
        ParseArguments(argc_, argv_, settings_, kivro::ShowError);
    }

    // As a confirmed restart: the engine's stop event starts it again.
    void Reload() {
        LoadAll();
        presentation_.SetRestartPending();
        proxy_->Stop();
    }

    void ShowEvents() {
        queue_.Take(batch_);
        for (const EngineEvent& event : batch_) {
            // A stop nobody asked for: an error stopped the engine.
            if (event.Code == EV_PROXY_RUNNING && event.Value == 0 && !stopping_ &&
                !presentation_.RestartPending())
                failed_ = true;
            presentation_.OnEngineEvent(event, *this);
        }
    }

    // Stops the engine, prints its last events and gives the exit status.
    int Finish(int status) {
        stopping_ = true;
        proxy_->Shutdown();
        if (!proxy_->Running()) {
            // The worker may still be posting its last event; destroying the
            // engine waits for it.
            proxy_.reset();
            ShowEvents();
            return status;
        }
        // A worker stuck past Shutdown's bound: print what came and leave
        // without waiting for it.
        ShowEvents();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(status);
    }

    const int argc_;
    char** const argv_;
    const char* const path_;
    const int signalFd_;
    ConsoleOutput output_;
    EventQueue queue_;  // outlives the engine, which posts into it
    std::unique_ptr<Proxy> proxy_;
    Presentation presentation_;
    Settings settings_{};
    std::unique_ptr<SettingsStore> store_;
    std::vector<EngineEvent> batch_;
    bool stopping_ = false;
    bool failed_ = false;
};

int Run(int argc, char** argv) {
    platform::InitUpperTable();

    char path[4096];
    if (!SettingsFilePath(path, sizeof path)) TextCopy(path, "(no home folder)");

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

    // Blocked before the engine's threads exist, which inherit the mask, so the
    // signals reach only the signalfd.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed output reader gives EPIPE, not death
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit fails the write (EFBIG), not the process
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::fprintf(stderr, "KivroProxy: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    Console console(argc, argv, path, signalFd);
    return console.Run();
}

}  // namespace
}  // namespace kivro

int main(int argc, char** argv) {
    return kivro::Run(argc, argv);
}
