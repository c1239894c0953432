// The main window's icon in the notification area (the tray): its picture and
// tip show the engine's state, and its right-button menu offers the main
// window's commands. The record handed to the tray is the first, 88-byte
// NOTIFYICONDATA, which every Windows accepts, so a tip holds 63 characters.
//
// Contract: Add puts the icon (the disconnected picture, no tip) into the tray
// for an owner window and says whether the tray took it; it is called again
// when a restarted Explorer brings an empty tray. Update changes the picture
// and tip, Remove takes the icon out. The tray's mouse messages reach the
// owner as TrayNotifyMessage (wParam TrayIconId, lParam the mouse message);
// ShowMenu's chosen command reaches it as WM_COMMAND. The tray keeps its own
// copy of every picture, so this object holds no icon.
#pragma once

#include <windows.h>

namespace kivro {

constexpr UINT TrayNotifyMessage = WM_APP + 1;
constexpr UINT TrayIconId = 100;

class TrayIcon {
  public:
    bool Add(HWND owner);
    // icon: one of the program's state icons; tip: cut to 63 characters.
    void Update(UINT icon, const char* tip);
    void Remove();
    // The tray menu at the cursor, with Start greyed while the engine runs and
    // Stop greyed while it does not; returns when the menu has closed.
    void ShowMenu(bool running);

    // The tip last handed to the tray.
    const char* Tip() const { return tip_; }

  private:
    HWND owner_ = nullptr;
    char tip_[64] = {};
};

}  // namespace kivro
