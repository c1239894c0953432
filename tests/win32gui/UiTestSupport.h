// What the GUI tests share: a scripted engine whose state the test sets, the
// one shell per process on a private settings key, a message pump, and a driver
// thread for the modal loops (message boxes, property sheets, the tray menu)
// that reads their windows and closes them while the user-interface thread sits
// inside them. The driver only collects what it sees; the test thread asserts
// afterwards, so GoogleTest is used from one thread only.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "app/win32/Shell.h"
#include "engine/Proxy.h"

namespace kivro::uitest {

inline constexpr const char* kTestKey = "Software\\Ostraven\\KivroProxyUiTest";

// An engine without a worker: Start, Stop and Shutdown are counted, the state
// queries answer what the test set. Start posts "running" as the real one does.
// The state is atomic: a driver thread may change it while a modal loop of the
// user-interface thread reads it, as the real worker does.
class ScriptedProxy : public Proxy {
  public:
    bool Start(EngineEvents* sink, const Settings& settings) override;
    void Stop() override { ++stops; }
    void Shutdown() override { ++shutdowns; }
    bool Running() const override { return running; }
    bool ClientConnected() const override { return client; }
    bool ServerConnected() const override { return server; }
    void Reset();

    std::atomic<bool> running{false};
    std::atomic<bool> client{false};
    std::atomic<bool> server{false};
    int starts = 0;
    int stops = 0;
    int shutdowns = 0;
    Settings started{};
};

// The process's one engine and shell; created on first use with the window
// class registered and the settings store on kTestKey.
ScriptedProxy& Engine();
Shell& TheShell();

// Deletes kTestKey and opens it again, empty.
void CleanKey();
// Every value of kTestKey as "type:bytes".
std::map<std::string, std::string> KeySnapshot();

// Dispatches every waiting message (WM_QUIT is dropped).
void Pump();
// Posts an engine event through the shell's own sink, then pumps.
void Post(EventCode code, uint32_t value, const char* text = "");
void Post(const EngineEvent& event);
EngineEvent MakeEvent(EventCode code, uint32_t value, const char* text = "");

std::string WindowText(HWND window);
std::string LogText();
std::string StatusText();
// A message number's text from the string table.
std::string Message(uint32_t id);

// ---- for the driver thread
// A visible top-level window of this process with that class and title
// (nullptr: any), or nullptr after timeoutMs.
HWND WaitForWindow(const char* className, const char* title, int timeoutMs = 5000);
// Waits for the window's end (up to timeoutMs).
bool WaitGone(HWND window, int timeoutMs = 5000);
// The text a message box shows.
std::string BoxText(HWND box);
// Presses a button of a dialog (IDOK, IDYES, ...).
void Press(HWND dialog, int id);

// Runs a function on its own thread for the length of a scope.
class Driver {
  public:
    explicit Driver(std::function<void()> work) : thread_(std::move(work)) {}
    ~Driver() { thread_.join(); }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

  private:
    std::thread thread_;
};

// Each test starts from an idle engine, an empty settings key and the one main
// window, created on first use, with its status bar up to date.
class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Engine().Reset();
        CleanKey();
        if (!IsWindow(shell.MainWindow())) {
            ASSERT_TRUE(shell.CreateMainWindow());
        }
        Pump();
        shell.UpdateStatus();
    }

    Shell& shell = TheShell();
};

}  // namespace kivro::uitest
