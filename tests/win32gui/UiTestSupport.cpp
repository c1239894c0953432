// See UiTestSupport.h.
#include "UiTestSupport.h"

#include <commctrl.h>

#include <cstring>
#include <vector>

#include "text/Messages.h"
#include "app/win32/PropSheets.h"
#include "platform/System.h"
#include "text/Text.h"

namespace kivro::uitest {

bool ScriptedProxy::Start(EngineEvents* sink, const Settings& settings) {
    ++starts;
    started = settings;
    running = true;
    if (sink) sink->Post(MakeEvent(EV_PROXY_RUNNING, 1));
    return true;
}

void ScriptedProxy::Reset() {
    running = client = server = false;
    starts = stops = shutdowns = 0;
}

namespace {
void CleanKeyOf(Shell& shell) {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestKey);
    shell.Store().OpenKey(kTestKey);
}

struct Ui {
    ScriptedProxy* engine;
    Shell* shell;
};

// Never destroyed, as in the program: the window outlives every test.
Ui& TheUi() {
    static Ui ui = [] {
        platform::InitUpperTable();
        LoadLibraryA("Riched20");
        RegisterControlClasses();
        ResetSheet();
        Ui made{new ScriptedProxy, nullptr};
        made.shell = new Shell(*made.engine);
        CleanKeyOf(*made.shell);
        made.shell->RegisterMainClass();
        return made;
    }();
    return ui;
}
}  // namespace

ScriptedProxy& Engine() {
    return *TheUi().engine;
}
Shell& TheShell() {
    return *TheUi().shell;
}

void CleanKey() {
    CleanKeyOf(TheShell());
}

std::map<std::string, std::string> KeySnapshot() {
    std::map<std::string, std::string> values;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        BYTE data[2048];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        values[name] =
            std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), size);
    }
    RegCloseKey(key);
    return values;
}

void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

EngineEvent MakeEvent(EventCode code, uint32_t value, const char* text) {
    EngineEvent event{};
    event.Code = code;
    event.Value = value;
    TextCopy(event.Text, text);
    return event;
}

void Post(const EngineEvent& event) {
    TheShell().EventSink().Post(event);
    Pump();
}

void Post(EventCode code, uint32_t value, const char* text) {
    Post(MakeEvent(code, value, text));
}

std::string WindowText(HWND window) {
    int length = GetWindowTextLengthA(window);
    std::vector<char> text(static_cast<size_t>(length) + 2);
    GetWindowTextA(window, text.data(), length + 1);
    return text.data();
}

std::string LogText() {
    return WindowText(TheShell().Log().Window());
}

std::string StatusText() {
    char text[600] = {};
    SendMessageA(TheShell().StatusBar(), SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

std::string Message(uint32_t id) {
    char text[512];
    return LoadMessage(id, text) ? text : "<missing>";
}

HWND WaitForWindow(const char* className, const char* title, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        HWND window = nullptr;
        while ((window = FindWindowExA(nullptr, window, className, title)) != nullptr) {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId() && IsWindowVisible(window)) return window;
        }
        Sleep(10);
    }
    return nullptr;
}

bool WaitGone(HWND window, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        if (!IsWindow(window) || !IsWindowVisible(window)) return true;
        Sleep(10);
    }
    return false;
}

namespace {
BOOL CALLBACK KeepLongestStatic(HWND child, LPARAM found) {
    char className[32] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") == 0 &&
        (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
        std::string text = WindowText(child);
        auto& best = *reinterpret_cast<std::string*>(found);
        if (text.size() > best.size()) best = text;
    }
    return TRUE;
}
}  // namespace

std::string BoxText(HWND box) {
    std::string longest;
    EnumChildWindows(box, KeepLongestStatic, reinterpret_cast<LPARAM>(&longest));
    return longest;
}

void Press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

}  // namespace kivro::uitest
