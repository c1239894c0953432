// See TrayIcon.h. The tray asks for pictures at the small-icon size of the
// system DPI, whatever the DPI of the monitor the main window is on.
#include "app/win32/TrayIcon.h"

#include <shellapi.h>

#include "Resource.h"
#include "app/win32/Screen.h"
#include "text/Text.h"

namespace kivro {

namespace {
constexpr DWORD kNotifyIconDataSize = NOTIFYICONDATAA_V1_SIZE;

NOTIFYICONDATAA Record(HWND owner) {
    NOTIFYICONDATAA tray = {};
    tray.cbSize = kNotifyIconDataSize;
    tray.hWnd = owner;
    tray.uID = TrayIconId;
    return tray;
}
}  // namespace

bool TrayIcon::Add(HWND owner) {
    owner_ = owner;
    NOTIFYICONDATAA tray = Record(owner_);
    tray.uFlags = NIF_ICON | NIF_MESSAGE;
    tray.uCallbackMessage = TrayNotifyMessage;
    tray.hIcon = LoadIconAtSize(IDI_DISCONNECTED, GetSystemMetrics(SM_CXSMICON));
    BOOL added = Shell_NotifyIconA(NIM_ADD, &tray);
    if (tray.hIcon) DestroyIcon(tray.hIcon);
    return added != FALSE;
}

void TrayIcon::Update(UINT icon, const char* tip) {
    NOTIFYICONDATAA tray = Record(owner_);
    tray.uFlags = NIF_ICON | NIF_TIP;
    tray.hIcon = LoadIconAtSize(icon, GetSystemMetrics(SM_CXSMICON));
    TextCopy(tip_, tip);
    tip_[sizeof tip_ - 1] = '\0';
    TextCopy(tray.szTip, tip_);
    Shell_NotifyIconA(NIM_MODIFY, &tray);
    if (tray.hIcon) DestroyIcon(tray.hIcon);
}

void TrayIcon::Remove() {
    NOTIFYICONDATAA tray = Record(owner_);
    Shell_NotifyIconA(NIM_DELETE, &tray);
}

void TrayIcon::ShowMenu(bool running) {
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_TRAYMENU));
    if (menu == nullptr) return;
    HMENU popup = GetSubMenu(menu, 0);
    EnableMenuItem(popup, running ? IDM_START : IDM_STOP, MF_BYCOMMAND | MF_GRAYED);
    POINT cursor;
    GetCursorPos(&cursor);
    // Without the foreground the menu stays open when the user clicks
    // elsewhere (the shell hands a tray icon's owner no activation).
    SetForegroundWindow(owner_);
    TrackPopupMenuEx(popup, TPM_LEFTALIGN | TPM_VCENTERALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y,
                     owner_, nullptr);
    PostMessageA(owner_, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

}  // namespace kivro
