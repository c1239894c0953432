// See Shell.h. Everything here runs on the user-interface thread; the engine
// reaches it only through EngineEventMessage, whose lParam carries a copy of the
// event that this window frees once shown.
//
// Sizes given at 96 DPI are scaled to the window's DPI, and WM_DPICHANGED
// rescales them when the window moves to a monitor of another DPI. The property
// sheets need nothing: dialog units follow their font.
#include "app/win32/Shell.h"

#include <commctrl.h>
#include <winsock2.h>

#include "Resource.h"
#include "app/CommandLine.h"
#include "app/ErrorBox.h"
#include "text/Messages.h"
#include "app/win32/Screen.h"
#include "settings/SettingsStorage.h"
#include "text/Text.h"

namespace kivro {

namespace {
constexpr int kDefaultWidth = 480, kDefaultHeight = 280;  // at 96 DPI

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
      store_(CreateSettingsValueStore()),
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
    wc.hbrBackground = CreateSolidBrush(LogView::kBackground);
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
                        CW_USEDEFAULT, ScaleForDpi(kDefaultWidth, systemDpi),
                        ScaleForDpi(kDefaultHeight, systemDpi), nullptr, nullptr, instance, this);
    if (mainWindow_ == nullptr) return false;
    dpi_ = WindowDpi(mainWindow_);
    if (dpi_ != systemDpi)
        SetWindowPos(mainWindow_, nullptr, 0, 0, ScaleForDpi(kDefaultWidth, dpi_),
                     ScaleForDpi(kDefaultHeight, dpi_), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    sink_.SetWindow(mainWindow_);
    if (!log_.Create(mainWindow_, IDC_LOGVIEW)) return false;
    statusBar_ =
        CreateStatusWindowA(WS_CHILD | WS_VISIBLE | WS_BORDER | CCS_BOTTOM | SBARS_SIZEGRIP, "",
                            mainWindow_, IDC_STATUSBAR);
    ApplyDpi(dpi_);

    // Without a tray icon a window hidden in the tray could not come back.
    if (!tray_.Add(mainWindow_) || !RestorePlacement()) ShowWindow(mainWindow_, SW_SHOWNORMAL);
    currentSmallIcon_ = nullptr;
    UpdateWindow(mainWindow_);
    UpdateStatus();
    return true;
}

// The log's text and the status bar at a DPI.
void Shell::ApplyDpi(UINT dpi) {
    dpi_ = dpi;
    log_.SetDpi(dpi);
    if (HFONT font = CreateStatusFont(dpi)) {
        SendMessageA(statusBar_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        if (statusFont_) DeleteObject(statusFont_);
        statusFont_ = font;
    }
    RECT client = {};
    GetClientRect(mainWindow_, &client);
    if (statusBar_ && log_.Window()) Layout(SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
}

void Shell::OnDpiChanged(UINT dpi, const RECT& suggested) {
    SetWindowPos(mainWindow_, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (statusBar_ && log_.Window()) ApplyDpi(dpi);
    UpdateStatus();  // the caption's state icon at the new size
}

void Shell::Layout(WPARAM wParam, LPARAM lParam) {
    SendMessageA(statusBar_, WM_SIZE, wParam, lParam);
    RECT bar = {};
    GetWindowRect(statusBar_, &bar);
    RECT client = {};
    GetClientRect(mainWindow_, &client);
    log_.Move(client.right, client.bottom - (bar.bottom - bar.top));
}

void Shell::AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) {
    log_.Append(withTimeStamp, text, withLineEnd);
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

    // Caption and tip read the same; the caption's icon is at the small-icon
    // size of the window's monitor, the tray's at that of the system DPI.
    SetWindowTextA(mainWindow_, view.Tip);
    tray_.Update(view.Icon, view.Tip);
    HICON icon = LoadIconAtSize(view.Icon, MetricForDpi(SM_CXSMICON, dpi_));
    if (icon) {
        if (currentSmallIcon_) DestroyIcon(currentSmallIcon_);
        SetClassLongPtrA(mainWindow_, GCLP_HICONSM, reinterpret_cast<LONG_PTR>(icon));
        currentSmallIcon_ = icon;
    }
}

void Shell::OnTrayNotify(LPARAM mouseMessage) {
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        ShowWindow(mainWindow_, SW_RESTORE);
        SetForegroundWindow(mainWindow_);
    } else if (mouseMessage == WM_RBUTTONUP) {
        tray_.ShowMenu(proxy_.Running());
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

bool Shell::RestorePlacement() {
    WindowPlacement stored;
    if (!QueryWindowPlacement(store_, stored)) return false;
    WINDOWPLACEMENT placement = {};
    static_assert(sizeof placement == WindowPlacement::kSize);
    placement.length = sizeof placement;
    placement.flags = stored.flags;
    placement.showCmd = stored.showCmd;
    placement.ptMinPosition = {stored.minX, stored.minY};
    placement.ptMaxPosition = {stored.maxX, stored.maxY};
    placement.rcNormalPosition = {stored.left, stored.top, stored.right, stored.bottom};
    SetWindowPlacement(mainWindow_, &placement);
    // Minimised at the last exit: the program starts in the tray.
    if (stored.showCmd == SW_SHOWMINIMIZED) ShowWindow(mainWindow_, SW_HIDE);
    return true;
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
            if (statusBar_ && log_.Window()) Layout(wParam, lParam);
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
                tray_.Add(mainWindow_);
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
        tray_.Remove();
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
    tray_.Remove();
    WSACleanup();
    return 0;
}

}  // namespace kivro
