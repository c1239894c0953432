// The Windows program's shell: the main window with its status bar, the menus
// and commands, the window's placement kept across runs, and the display of
// engine events. The log (LogView) and the tray icon (TrayIcon) are parts it
// owns and lays out. One Shell object holds what the program keeps for the
// whole run (window handles, the settings store and the settings, the page
// objects, the engine); Run carries out the start-up and shut-down order.
// Tests construct a Shell around a scripted engine and drive the same code the
// program runs.
#pragma once

#include <windows.h>

#include "app/Presentation.h"
#include "app/win32/AboutPages.h"
#include "app/win32/ConfigPage.h"
#include "app/win32/LogView.h"
#include "app/win32/TrayIcon.h"
#include "engine/Events.h"
#include "engine/Proxy.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"

namespace kivro {

constexpr UINT EngineEventMessage = WM_APP + 2;

// Hands engine events to the main window: each event's copy travels with the
// posted message, and the window frees it when it has shown it.
class WindowEventSink : public EngineEvents {
  public:
    void SetWindow(HWND window) { window_ = window; }
    void Post(const EngineEvent& event) override;

  private:
    HWND window_ = nullptr;
};

// Registers the common-control classes the program uses (status bar, tabs of
// the property sheets, up-down control, the themed standard controls); with the
// common-controls 6 manifest Windows registers none of them by itself. Called
// once at start-up, before any window exists.
bool RegisterControlClasses();

class Shell : private EventShell {
  public:
    // Opens the settings store on the program's key.
    explicit Shell(Proxy& proxy);
    ~Shell() override;

    // The whole run: start-up, message loop, shut-down. Returns the exit code (0).
    int Run(const char* commandLine);

    // Start-up steps, also used by tests.
    bool RegisterMainClass();
    bool CreateMainWindow();

    void AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) override;
    void UpdateStatus() override;
    bool ExecuteCommand(int command);
    void AskRestart();
    void OnTrayNotify(LPARAM mouseMessage);
    void OnEngineEvent(const EngineEvent& event);
    void ErrorBox(uint32_t messageId, const char* argument);

    // Where the engine's events go: they reach this window as EngineEventMessage.
    EngineEvents& EventSink() { return sink_; }
    HWND MainWindow() const { return mainWindow_; }
    HWND StatusBar() const { return statusBar_; }
    LogView& Log() { return log_; }
    TrayIcon& Tray() { return tray_; }
    // The DPI the window is drawn for: its monitor's.
    UINT Dpi() const { return dpi_; }
    const char* AppName() const { return appName_; }
    // The store the settings are loaded from and the pages and the exit write to.
    SettingsStore& Store() { return store_; }
    Settings& CurrentSettings() { return settings_; }
    Presentation& Display() { return presentation_; }
    ConfigPage& Configuration() { return configPage_; }

  private:
    static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Layout(WPARAM wParam, LPARAM lParam);
    void ApplyDpi(UINT dpi);
    void OnDpiChanged(UINT dpi, const RECT& suggested);
    void StartEngine() override;
    void SetStatusText(const char* text) override;
    void ShowError(const char* boxText, const char* fullText) override;
    // The placement stored at the last exit, applied to the window; false (and
    // the window untouched) when none was stored.
    bool RestorePlacement();
    void SaveExitState();
    // While a Configure or About command is inside its sheet or question, a
    // second one brings that window to the front instead of building another.
    bool BringModalToFront();

    Proxy& proxy_;
    SettingsStore store_;
    PropPage aboutPage_;
    VersionPage versionPage_;
    ConfigPage configPage_;
    WindowEventSink sink_;
    Presentation presentation_;
    Settings settings_;
    LogView log_;
    TrayIcon tray_;
    char appName_[32] = {};
    char mainTitle_[128] = {};
    HWND mainWindow_ = nullptr;
    HWND statusBar_ = nullptr;
    HICON currentSmallIcon_ = nullptr;
    HFONT statusFont_ = nullptr;  // the status bar's, at dpi_
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    UINT taskbarCreated_ = 0;
    bool inSheetCommand_ = false;
};

}  // namespace kivro
