// The shell's presentation logic: which log entry, status-bar text and error
// box an engine event gives, which tip, icon and menu state the engine's state
// gives, and the two pieces of shell state that steer them (the server's port
// kind and a pending restart). Both front ends, the Win32 window and the Linux
// console, bind these to their screen through EventShell; the rules and their
// order live only here. The alternative, each front end switching over the
// event codes itself, would keep every rule twice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/Events.h"
#include "platform/System.h"

namespace kivro {

// What one event shows, in the order the front end acts on it:
// UpdateStatus, then Start, then the log entry or the status-bar text, then
// the error box.
struct EventDisplay {
    bool UpdateStatusFirst = false;
    bool StartEngine = false;  // a confirmed restart completes now
    bool Log = false;          // Text is a log entry
    bool WithTimeStamp = true;
    bool WithLineEnd = true;
    bool StatusBar = false;    // Text replaces the status bar's text
    bool ErrorBox = false;     // BoxText is shown in an error box
    char Text[512] = {};       // always terminated
    char BoxText[512] = {};    // Text up to its first colon
};

// What a front end does with an event; OnEngineEvent calls these in order.
class EventShell {
public:
    virtual ~EventShell() = default;
    virtual void UpdateStatus() = 0;
    virtual void StartEngine() = 0;
    virtual void AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) = 0;
    virtual void SetStatusText(const char* text) = 0;
    // boxText is what a message box shows; fullText is the whole entry, for a
    // front end without boxes (the console prints it to standard error).
    virtual void ShowError(const char* boxText, const char* fullText) = 0;
};

// The engine's state as its queries give it.
struct EngineState {
    bool Running = false;
    bool ClientConnected = false;
    bool ServerConnected = false;
};

// Tip (also the window's caption), state icon and menu enabling for a state.
struct StatusView {
    uint32_t TipMessage;
    uint32_t Icon;             // resource number 11 to 15
    bool StartEnabled;
    bool StopEnabled;
    bool ClearStatusBar;       // no server: the statistics no longer apply
    char Tip[64];              // TipMessage's text, cut to a tray tip's 63 characters
};

StatusView ViewOfState(const EngineState& state);

// The shell state the events change. One object per front end, used on its
// user-interface thread only.
class Presentation {
public:
    // Turns one event into its display; updates ServerOnUsb and consumes a
    // pending restart on the engine's stop.
    void Describe(const EngineEvent& event, EventDisplay& display);

    // Describe, then carry the display out through the shell in order.
    void OnEngineEvent(const EngineEvent& event, EventShell& shell);

    // The user agreed to restart: the next "proxy stopped" event starts the
    // engine again (the front end calls Stop right after this).
    void SetRestartPending() { restartPending_ = true; }
    bool RestartPending() const { return restartPending_; }
    bool ServerOnUsb() const { return serverOnUsb_; }

private:
    bool restartPending_ = false;
    bool serverOnUsb_ = false;
};

// Traffic in KB of 1000 bytes, rounded to the nearest.
uint32_t KiloBytes(uint32_t bytes);

// "dd.MM.yyyy HH:mm:ss " (24-hour, trailing blank), cut to the capacity and
// always terminated (21 characters hold it whole).
void FormatTimeStamp(const platform::CalendarTime& time, char* buffer, size_t capacity);
template <size_t N>
inline void FormatTimeStamp(const platform::CalendarTime& time, char (&buffer)[N]) {
    FormatTimeStamp(time, buffer, N);
}

}  // namespace kivro
