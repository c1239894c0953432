// See Shell.h. Everything here runs on the user-interface thread; the engine
// reaches it only through EngineEventMessage, whose lParam carries a copy of the
// event that this window frees once shown.
//
// The program is per-monitor DPI aware (its manifest): sizes given at 96 DPI are
// scaled to the window's DPI, and WM_DPICHANGED rescales them when the window
// moves to a monitor of another DPI. The property sheets need nothing: dialog
// units follow their font. Windows 10's per-window DPI functions are looked up
// at run time, as Windows 7 and 8 lack them; there the system DPI is the one.
#include "app/win32/Shell.h"

#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>
#include <winsock2.h>

#include "Resource.h"
#include "app/CommandLine.h"
#include "app/ErrorBox.h"
#include "app/Messages.h"
#include "platform/SettingsStorage.h"
#include "text/Text.h"

namespace kivro {

namespace {
constexpr COLORREF kLogBackground = RGB(0, 101, 156);
constexpr COLORREF kLogDefaultText = RGB(206, 207, 255);
constexpr COLORREF kTimeStampColour = RGB(0, 0, 0);
constexpr COLORREF kMessageColour = RGB(192, 192, 255);
constexpr int kLogLimit = 131072;
constexpr int kTrimThreshold = kLogLimit - 1024;
constexpr int kTrimCount = 32768;
// The first, 88-byte NOTIFYICONDATA: a tip of at most 63 characters.
constexpr DWORD kNotifyIconDataSize = NOTIFYICONDATAA_V1_SIZE;
constexpr LONG kLogFontTwips = 156;                       // 7.8 points
constexpr int kDefaultWidth = 480, kDefaultHeight = 280;  // at 96 DPI
constexpr UINT kBaseDpi = USER_DEFAULT_SCREEN_DPI;

// The DPI of the screen's device context: the one GDI and the rich-edit control
// convert points with, and the whole desktop's DPI before Windows 8.1.
UINT SystemDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

template <typename Function>
Function User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    FARPROC found = user32 ? GetProcAddress(user32, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

UINT WindowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0;
    return dpi != 0 ? dpi : SystemDpi();
}

int MetricForDpi(int metric, UINT dpi) {
    using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);
    static const auto forDpi =
        User32Function<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    if (forDpi) return forDpi(metric, dpi);
    return MulDiv(GetSystemMetrics(metric), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

int Scale(int pixelsAt96, UINT dpi) {
    return MulDiv(pixelsAt96, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

// The system's status-bar font at a DPI (the system gives it at the system DPI).
HFONT CreateStatusFont(UINT dpi) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return nullptr;
    metrics.lfStatusFont.lfHeight =
        MulDiv(metrics.lfStatusFont.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
    return CreateFontIndirectW(&metrics.lfStatusFont);
}

HICON LoadStateIcon(UINT icon, int size) {
    return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(icon),
                                         IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

void SetSelectionColour(HWND log, COLORREF colour, bool all = false) {
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_COLOR;
    format.crTextColor = colour;
    SendMessageA(log, EM_SETCHARFORMAT, all ? SCF_ALL : SCF_SELECTION,
                 reinterpret_cast<LPARAM>(&format));
}

void SelectEnd(HWND log) {
    CHARRANGE end = {-1, -1};
    SendMessageA(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
}
}  // namespace

bool RegisterControlClasses() {
    INITCOMMONCONTROLSEX classes = {};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES;
    return InitCommonControlsEx(&classes) != FALSE;
}

void WindowEventSink::Post(const EngineEvent& event) {
    if (window_ == nullptr) return;
    auto* copy = new EngineEvent(event);
    if (!PostMessageA(window_, EngineEventMessage, event.Code, reinterpret_cast<LPARAM>(copy)))
        delete copy;
}

Shell::Shell(Proxy& proxy)
    : proxy_(proxy),
      store_(platform::CreateSettingsValueStore()),
      aboutPage_(store_),
      versionPage_(store_),
      configPage_(store_) {
    store_.OpenKey(kSettingsKeyPath);
    LoadMessage(MSG_APP_NAME, appName_);
    LoadMessage(MSG_MAIN_TITLE, mainTitle_);
    settings_ = DefaultSettings();
}

Shell::~Shell() {
    if (currentSmallIcon_) DestroyIcon(currentSmallIcon_);
    if (statusFont_) DeleteObject(statusFont_);
}

void Shell::ErrorBox(uint32_t messageId, const char* argument) {
    ErrorText text;
    ErrorBoxText(messageId, argument, text);
    MessageBoxA(mainWindow_, text, appName_, MB_ICONERROR);
}

bool Shell::RegisterMainClass() {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(IDI_APP));
    wc.hIconSm = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(IDI_DISCONNECTED));
    wc.hbrBackground = CreateSolidBrush(kLogBackground);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
    wc.lpszClassName = appName_;
    if (RegisterClassExA(&wc) == 0) {
        ErrorBox(MSG_ERR_REGISTER_CLASS, appName_);
        return false;
    }
    return true;
}

bool Shell::CreateMainWindow() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    // Sized for the system DPI until the window knows the DPI of its monitor.
    const UINT systemDpi = SystemDpi();
    mainWindow_ =
        CreateWindowExA(WS_EX_APPWINDOW, appName_, mainTitle_, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, Scale(kDefaultWidth, systemDpi),
                        Scale(kDefaultHeight, systemDpi), nullptr, nullptr, instance, this);
    if (mainWindow_ == nullptr) return false;
    dpi_ = WindowDpi(mainWindow_);
    if (dpi_ != systemDpi)
        SetWindowPos(mainWindow_, nullptr, 0, 0, Scale(kDefaultWidth, dpi_),
                     Scale(kDefaultHeight, dpi_), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    sink_.SetWindow(mainWindow_);
    logView_ = CreateWindowExA(
        WS_EX_CLIENTEDGE, "RichEdit20A", "",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 0, 0, 0,
        0, mainWindow_, reinterpret_cast<HMENU>(IDC_LOGVIEW), instance, nullptr);
    if (logView_ == nullptr) return false;
    SendMessageA(logView_, EM_EXLIMITTEXT, 0, kLogLimit);
    SendMessageA(logView_, EM_SETBKGNDCOLOR, 0, kLogBackground);
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_BOLD | CFM_FACE | CFM_SIZE | CFM_COLOR;
    format.yHeight = kLogFontTwips;
    format.crTextColor = kLogDefaultText;
    lstrcpynA(format.szFaceName, "Lucida Console", LF_FACESIZE);
    SendMessageA(logView_, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));

    statusBar_ =
        CreateStatusWindowA(WS_CHILD | WS_VISIBLE | WS_BORDER | CCS_BOTTOM | SBARS_SIZEGRIP, "",
                            mainWindow_, IDC_STATUSBAR);
    ApplyDpi(dpi_);

    WindowPlacement stored;
    if (AddTrayIcon() && QueryWindowPlacement(store_, stored)) {
        WINDOWPLACEMENT placement = {};
        static_assert(sizeof placement == WindowPlacement::kSize);
        placement.length = sizeof placement;
        placement.flags = stored.flags;
        placement.showCmd = stored.showCmd;
        placement.ptMinPosition = {stored.minX, stored.minY};
        placement.ptMaxPosition = {stored.maxX, stored.maxY};
        placement.rcNormalPosition = {stored.left, stored.top, stored.right, stored.bottom};
        SetWindowPlacement(mainWindow_, &placement);
        if (stored.showCmd == SW_SHOWMINIMIZED) ShowWindow(mainWindow_, SW_HIDE);
    } else {
        ShowWindow(mainWindow_, SW_SHOWNORMAL);
    }
    currentSmallIcon_ = nullptr;
    UpdateWindow(mainWindow_);
    UpdateStatus();
    return true;
}

// The log's text and the status bar at a DPI. The rich-edit control converts
// points at the system DPI, so the size in twips is scaled by the window's DPI
// over that; the colours of the text already logged stay as they are.
void Shell::ApplyDpi(UINT dpi) {
    dpi_ = dpi;
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_SIZE;
    format.yHeight = MulDiv(kLogFontTwips, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
    SendMessageA(logView_, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
    if (HFONT font = CreateStatusFont(dpi)) {
        SendMessageA(statusBar_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        if (statusFont_) DeleteObject(statusFont_);
        statusFont_ = font;
    }
    RECT client = {};
    GetClientRect(mainWindow_, &client);
    if (statusBar_ && logView_) Layout(SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
}

void Shell::OnDpiChanged(UINT dpi, const RECT& suggested) {
    SetWindowPos(mainWindow_, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (statusBar_ && logView_) ApplyDpi(dpi);
    UpdateStatus();  // the caption's state icon at the new size
}

void Shell::Layout(WPARAM wParam, LPARAM lParam) {
    SendMessageA(statusBar_, WM_SIZE, wParam, lParam);
    RECT bar = {};
    GetWindowRect(statusBar_, &bar);
    RECT client = {};
    GetClientRect(mainWindow_, &client);
    MoveWindow(logView_, 0, 0, client.right, client.bottom - (bar.bottom - bar.top), TRUE);
}

void Shell::TrimAndScroll() {
    if (GetWindowTextLengthA(logView_) >= kTrimThreshold) {
        SendMessageA(logView_, EM_SETSEL, 0, kTrimCount);
        SendMessageA(logView_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
    }
    SetFocus(logView_);
    LONG length = GetWindowTextLengthA(logView_);
    CHARRANGE caret = {length, length};
    SendMessageA(logView_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&caret));
    SendMessageA(logView_, EM_SCROLLCARET, 0, 0);
    HideCaret(logView_);
}

void Shell::AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) {
    if (withTimeStamp) WriteTimeStamp();
    SelectEnd(logView_);
    SetSelectionColour(logView_, kMessageColour);
    SendMessageA(logView_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    if (withLineEnd) {
        SelectEnd(logView_);
        SendMessageA(logView_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("\r\n"));
    }
    TrimAndScroll();
}

void Shell::WriteTimeStamp() {
    FILETIME utc, local;
    SYSTEMTIME time;
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &time);
    char date[64] = {}, clock[64] = {};
    GetDateFormatA(0, 0, &time, "dd'.'MM'.'yyyy", date, sizeof date);
    GetTimeFormatA(0, 0, &time, "' 'HH':'mm':'ss' '", clock, sizeof clock);
    TextAppend(date, clock);
    SelectEnd(logView_);
    SetSelectionColour(logView_, kTimeStampColour);
    SendMessageA(logView_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(date));
    TrimAndScroll();
}

void Shell::UpdateStatus() {
    HMENU file = GetSubMenu(GetMenu(mainWindow_), 0);
    EngineState state;
    state.Running = proxy_.Running();
    state.ClientConnected = proxy_.ClientConnected();
    state.ServerConnected = proxy_.ServerConnected();
    StatusView view = ViewOfState(state);
    if (view.ClearStatusBar) SetStatusText("");
    EnableMenuItem(file, IDM_START, MF_BYCOMMAND | (view.StartEnabled ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(file, IDM_STOP, MF_BYCOMMAND | (view.StopEnabled ? MF_ENABLED : MF_GRAYED));

    NOTIFYICONDATAA tray = {};
    tray.cbSize = kNotifyIconDataSize;
    tray.hWnd = mainWindow_;
    tray.uID = TrayIconId;
    tray.uFlags = NIF_ICON | NIF_TIP;
    // The tray asks for the small-icon size of the system DPI, the caption for
    // that of the window's monitor; the shell keeps its own copy of the tray's.
    tray.hIcon = LoadStateIcon(view.Icon, GetSystemMetrics(SM_CXSMICON));
    HICON icon = LoadStateIcon(view.Icon, MetricForDpi(SM_CXSMICON, dpi_));
    TextCopy(tray.szTip, view.Tip);
    TextCopy(trayTip_, view.Tip);
    SetWindowTextA(mainWindow_, tray.szTip);
    Shell_NotifyIconA(NIM_MODIFY, &tray);
    if (tray.hIcon) DestroyIcon(tray.hIcon);
    if (icon) {
        if (currentSmallIcon_) DestroyIcon(currentSmallIcon_);
        SetClassLongPtrA(mainWindow_, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(icon));
        currentSmallIcon_ = icon;
    }
}

bool Shell::AddTrayIcon() {
    NOTIFYICONDATAA tray = {};
    tray.cbSize = kNotifyIconDataSize;
    tray.hWnd = mainWindow_;
    tray.uID = TrayIconId;
    tray.uFlags = NIF_ICON | NIF_MESSAGE;
    tray.uCallbackMessage = TrayNotifyMessage;
    tray.hIcon = LoadStateIcon(IDI_DISCONNECTED, GetSystemMetrics(SM_CXSMICON));
    BOOL added = Shell_NotifyIconA(NIM_ADD, &tray);
    if (tray.hIcon) DestroyIcon(tray.hIcon);
    return added != FALSE;
}

void Shell::RemoveTrayIcon() {
    NOTIFYICONDATAA tray = {};
    tray.cbSize = kNotifyIconDataSize;
    tray.hWnd = mainWindow_;
    tray.uID = TrayIconId;
    Shell_NotifyIconA(NIM_DELETE, &tray);
}

void Shell::OnTrayNotify(LPARAM mouseMessage) {
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        ShowWindow(mainWindow_, SW_RESTORE);
        SetForegroundWindow(mainWindow_);
    } else if (mouseMessage == WM_RBUTTONUP) {
        HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_TRAYMENU));
        if (menu == nullptr) return;
        HMENU popup = GetSubMenu(menu, 0);
        EnableMenuItem(popup, proxy_.Running() ? IDM_START : IDM_STOP, MF_BYCOMMAND | MF_GRAYED);
        POINT cursor;
        GetCursorPos(&cursor);
        // Without the foreground the menu stays open when the user clicks
        // elsewhere (the shell hands a tray icon's owner no activation).
        SetForegroundWindow(mainWindow_);
        TrackPopupMenuEx(popup, TPM_LEFTALIGN | TPM_VCENTERALIGN | TPM_LEFTBUTTON, cursor.x,
                         cursor.y, mainWindow_, nullptr);
        PostMessageA(mainWindow_, WM_NULL, 0, 0);
        DestroyMenu(menu);
    }
}

bool Shell::ExecuteCommand(int command) {
    switch (command) {
        case IDM_OPEN:
            ShowWindow(mainWindow_, SW_RESTORE);
            SetForegroundWindow(mainWindow_);
            return true;
        case IDM_START:
            if (!proxy_.Running()) proxy_.Start(&sink_, settings_);
            return true;
        case IDM_STOP:
            proxy_.Stop();
            return true;
        case IDM_CONFIGURE:
            if (BringModalToFront()) return true;
            inSheetCommand_ = true;
            ResetSheet();
            if (AddPage(IDD_CONFIG, configPage_) && ShowSheet(MSG_CONFIG_CAPTION, mainWindow_)) {
                LoadSettings(store_, settings_);
                AskRestart();
            }
            inSheetCommand_ = false;
            return true;
        case IDM_ABOUT:
            if (BringModalToFront()) return true;
            inSheetCommand_ = true;
            ResetSheet();
            if (AddPage(IDD_ABOUT, aboutPage_) && AddPage(IDD_VERSION, versionPage_))
                ShowSheet(MSG_ABOUT_CAPTION, mainWindow_);
            inSheetCommand_ = false;
            return true;
        case IDM_EXIT:
            PostMessageA(mainWindow_, WM_CLOSE, 0, 0);
            return true;
        default:
            return false;
    }
}

bool Shell::BringModalToFront() {
    if (!inSheetCommand_ && !SheetShown()) return false;
    // The sheet, or what it or the question opened last (a file dialog, the box).
    HWND front = ShownSheet();
    front = GetLastActivePopup(front ? front : mainWindow_);
    if (front && front != mainWindow_) {
        if (IsIconic(front)) ShowWindow(front, SW_RESTORE);
        SetForegroundWindow(front);
    }
    return true;
}

void Shell::AskRestart() {
    if (!proxy_.Running()) return;
    char question[512];
    LoadMessage(MSG_ASK_RESTART, question);
    if (MessageBoxA(mainWindow_, question, appName_, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    // The engine may have stopped by itself while the box was open; its stop was
    // shown already and nothing would consume a pending restart, so it starts now.
    if (proxy_.Running()) {
        presentation_.SetRestartPending();
        proxy_.Stop();
    } else {
        proxy_.Start(&sink_, settings_);
    }
}

void Shell::StartEngine() {
    proxy_.Start(&sink_, settings_);
}

void Shell::SetStatusText(const char* text) {
    SendMessageA(statusBar_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text));
}

void Shell::ShowError(const char* boxText, const char*) {
    MessageBoxA(mainWindow_, boxText, appName_, MB_ICONERROR);
}

void Shell::OnEngineEvent(const EngineEvent& event) {
    presentation_.OnEngineEvent(event, *this);
}

void Shell::SaveExitState() {
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    GetWindowPlacement(mainWindow_, &placement);
    WindowPlacement stored;
    stored.flags = placement.flags;
    stored.showCmd = placement.showCmd;
    stored.minX = placement.ptMinPosition.x;
    stored.minY = placement.ptMinPosition.y;
    stored.maxX = placement.ptMaxPosition.x;
    stored.maxY = placement.ptMaxPosition.y;
    stored.left = placement.rcNormalPosition.left;
    stored.top = placement.rcNormalPosition.top;
    stored.right = placement.rcNormalPosition.right;
    stored.bottom = placement.rcNormalPosition.bottom;
    kivro::SaveExitState(store_, proxy_.Running(), &stored);
}

LRESULT CALLBACK Shell::MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* shell = reinterpret_cast<Shell*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        shell = static_cast<Shell*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(shell));
        shell->mainWindow_ = window;
        shell->taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
    }
    if (shell == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return shell->HandleMessage(message, wParam, lParam);
}

LRESULT Shell::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            return ExecuteCommand(LOWORD(wParam)) ? 0 : 1;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_MINIMIZE) {
                ShowWindow(mainWindow_, SW_MINIMIZE);
                ShowWindow(mainWindow_, SW_HIDE);
                return 0;
            }
            break;
        case WM_SIZE:
            if (statusBar_ && logView_) Layout(wParam, lParam);
            return 0;
        case WM_DPICHANGED:
            OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_DESTROY:
            SaveExitState();
            proxy_.Shutdown();
            PostQuitMessage(0);
            return 0;
        case TrayNotifyMessage:
            if (wParam == TrayIconId) OnTrayNotify(lParam);
            return 0;
        case EngineEventMessage: {
            auto* event = reinterpret_cast<EngineEvent*>(lParam);
            if (event) {
                OnEngineEvent(*event);
                delete event;
            }
            return 0;
        }
        default:
            // Explorer restarted: the tray is new and empty, so the icon goes back.
            if (taskbarCreated_ != 0 && message == taskbarCreated_) {
                AddTrayIcon();
                UpdateStatus();
                return 0;
            }
            break;
    }
    return DefWindowProcA(mainWindow_, message, wParam, lParam);
}

int Shell::Run(const char* commandLine) {
    if (!RegisterMainClass()) return 0;
    if (!CreateMainWindow()) return 0;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) {
        RemoveTrayIcon();
        return 0;
    }
    LoadSettings(store_, settings_);
    bool ok = ParseCommandLine(commandLine, settings_, [this](const char* text) {
        MessageBoxA(mainWindow_, text, appName_, MB_ICONERROR);
    });
    if (ok) {
        if (settings_.IsRunning) proxy_.Start(&sink_, settings_);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    RemoveTrayIcon();
    WSACleanup();
    return 0;
}

}  // namespace kivro
