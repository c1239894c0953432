// The main window at the screen's DPI: window size, the log's line height, the
// status bar and the caption's state icon grow with the DPI, at start (the DPI
// Wine takes from its LogPixels setting when a process starts) and when the
// window is told it moved to a monitor of another DPI (WM_DPICHANGED). The
// 200 % case runs this same program again as a child with LogPixels at 192,
// since a process's system DPI is fixed when it starts.
#include <gtest/gtest.h>

#include <windows.h>
#include <richedit.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "UiTestSupport.h"

namespace kivro::uitest {
namespace {

struct Sizes {
    UINT dpi = 0;
    int width = 0, height = 0;  // the window's, as created without a stored placement
    int lineHeight = 0;         // between two lines of the log
    int statusHeight = 0;
    int iconSize = 0;  // the caption's state icon
};

int LineHeight(HWND log) {
    LONG second = static_cast<LONG>(SendMessageA(log, EM_LINEINDEX, 1, 0));
    POINTL first = {}, next = {};
    SendMessageA(log, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&first), 0);
    SendMessageA(log, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&next), second);
    return next.y - first.y;
}

int Height(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect.bottom - rect.top;
}

int IconSize(HICON icon) {
    ICONINFO info = {};
    if (!GetIconInfo(icon, &info)) return 0;
    BITMAP bitmap = {};
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

Sizes Measure(Shell& shell) {
    Sizes sizes;
    HWND main = shell.MainWindow();
    sizes.dpi = shell.Dpi();
    RECT rect = {};
    GetWindowRect(main, &rect);
    sizes.width = rect.right - rect.left;
    sizes.height = rect.bottom - rect.top;
    SetWindowTextA(shell.Log().Window(), "");
    shell.AppendLog(false, "first line", true);
    shell.AppendLog(false, "second line", true);
    sizes.lineHeight = LineHeight(shell.Log().Window());
    sizes.statusHeight = Height(shell.StatusBar());
    sizes.iconSize = IconSize(reinterpret_cast<HICON>(GetClassLongPtrA(main, GCLP_HICONSM)));
    return sizes;
}

class DpiTest : public ShellTest {
  protected:
    // A window of its own, as the program makes it without a stored placement.
    void FreshWindow() {
        DestroyWindow(shell.MainWindow());
        Pump();
        CleanKey();
        ASSERT_TRUE(shell.CreateMainWindow());
        Pump();
    }
};

// The sizes at this process's DPI follow that DPI. When run as the child of the
// test below, it also reports them to the file that KIVRO_DPI_REPORT names.
TEST_F(DpiTest, SizesFollowThisProcesssDpi) {
    FreshWindow();
    Sizes sizes = Measure(shell);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(sizes.dpi, static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY)));
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(sizes.width, MulDiv(480, sizes.dpi, 96));
    EXPECT_EQ(sizes.height, MulDiv(280, sizes.dpi, 96));
    // 7.8 points of Lucida Console: 10.4 pixels at 96 DPI, plus the line gap.
    const int font = MulDiv(156, sizes.dpi, 1440);
    EXPECT_GE(sizes.lineHeight, font);
    EXPECT_LE(sizes.lineHeight, font + MulDiv(4, sizes.dpi, 96));
    EXPECT_EQ(sizes.iconSize, GetSystemMetrics(SM_CXSMICON));
    EXPECT_GT(sizes.statusHeight, font);
    if (const char* report = std::getenv("KIVRO_DPI_REPORT")) {
        if (FILE* out = std::fopen(report, "w")) {
            std::fprintf(out, "%u %d %d %d %d %d\n", sizes.dpi, sizes.width, sizes.height,
                         sizes.lineHeight, sizes.statusHeight, sizes.iconSize);
            std::fclose(out);
        }
    }
}

// Reads the whole value LogPixels of HKCU\Control Panel\Desktop (false: none).
bool LogPixels(DWORD& value) {
    DWORD size = sizeof value;
    return RegGetValueA(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels", RRF_RT_REG_DWORD,
                        nullptr, &value, &size) == ERROR_SUCCESS;
}
void SetLogPixels(const DWORD* value) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    if (value)
        RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(value),
                       sizeof *value);
    else
        RegDeleteValueA(key, "LogPixels");
    RegCloseKey(key);
}

// Runs this program's SizesFollowThisProcesssDpi in a child that starts with
// LogPixels at dpi; its exit code and report come back.
bool MeasureInChild(DWORD dpi, Sizes& sizes, DWORD& exitCode) {
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    char report[MAX_PATH];
    GetTempPathA(sizeof report, report);
    lstrcatA(report, "kivro-dpi-report.txt");
    DeleteFileA(report);
    std::string command =
        std::string("\"") + program + "\" --gtest_filter=DpiTest.SizesFollowThisProcesssDpi";

    DWORD saved = 0;
    bool hadValue = LogPixels(saved);
    SetLogPixels(&dpi);
    SetEnvironmentVariableA("KIVRO_DPI_REPORT", report);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &child) != FALSE;
    SetEnvironmentVariableA("KIVRO_DPI_REPORT", nullptr);
    bool ended = started && WaitForSingleObject(child.hProcess, 120000) == WAIT_OBJECT_0;
    SetLogPixels(hadValue ? &saved : nullptr);
    if (!started) return false;
    if (!ended) TerminateProcess(child.hProcess, 1);
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    FILE* in = std::fopen(report, "r");
    if (!in) return false;
    int read = std::fscanf(in, "%u %d %d %d %d %d", &sizes.dpi, &sizes.width, &sizes.height,
                           &sizes.lineHeight, &sizes.statusHeight, &sizes.iconSize);
    std::fclose(in);
    DeleteFileA(report);
    return ended && read == 6;
}

TEST_F(DpiTest, AtTwoHundredPercentEverythingIsTwiceAsLarge) {
    Sizes normal, doubled;
    DWORD normalExit = 1, doubledExit = 1;
    ASSERT_TRUE(MeasureInChild(96, normal, normalExit));
    ASSERT_TRUE(MeasureInChild(192, doubled, doubledExit));
    EXPECT_EQ(normalExit, 0u);
    EXPECT_EQ(doubledExit, 0u);
    EXPECT_EQ(normal.dpi, 96u);
    EXPECT_EQ(doubled.dpi, 192u);
    EXPECT_EQ(doubled.width, 2 * normal.width);
    EXPECT_EQ(doubled.height, 2 * normal.height);
    EXPECT_NEAR(doubled.lineHeight, 2 * normal.lineHeight, 2);
    EXPECT_EQ(doubled.iconSize, 2 * normal.iconSize);
    EXPECT_GE(doubled.statusHeight * 10, normal.statusHeight * 16);
}

// Moved to a monitor of twice the DPI and back: the window takes the suggested
// rectangle, and the log's text, the status bar and the caption icon follow.
TEST_F(DpiTest, DpiChangeResizesTheWindowFontAndStatusBar) {
    FreshWindow();
    HWND main = shell.MainWindow();
    const Sizes before = Measure(shell);
    const UINT twice = 2 * before.dpi;
    RECT suggested = {30, 20, 30 + 2 * before.width, 20 + 2 * before.height};
    SendMessageA(main, WM_DPICHANGED, MAKEWPARAM(twice, twice),
                 reinterpret_cast<LPARAM>(&suggested));
    RECT now = {};
    GetWindowRect(main, &now);
    EXPECT_EQ(now.left, suggested.left);
    EXPECT_EQ(now.top, suggested.top);
    EXPECT_EQ(now.right, suggested.right);
    EXPECT_EQ(now.bottom, suggested.bottom);
    EXPECT_EQ(shell.Dpi(), twice);
    const Sizes after = Measure(shell);
    EXPECT_NEAR(after.lineHeight, 2 * before.lineHeight, 2);
    EXPECT_GE(after.statusHeight * 10, before.statusHeight * 16);
    EXPECT_EQ(after.iconSize, 2 * before.iconSize);
    // The log view and the status bar still fill the client area.
    RECT client = {};
    GetClientRect(main, &client);
    EXPECT_EQ(Height(shell.Log().Window()) + after.statusHeight, client.bottom);

    RECT back = {30, 20, 30 + before.width, 20 + before.height};
    SendMessageA(main, WM_DPICHANGED, MAKEWPARAM(before.dpi, before.dpi),
                 reinterpret_cast<LPARAM>(&back));
    const Sizes restored = Measure(shell);
    EXPECT_EQ(restored.lineHeight, before.lineHeight);
    EXPECT_EQ(restored.statusHeight, before.statusHeight);
    EXPECT_EQ(restored.iconSize, before.iconSize);
}

}  // namespace
}  // namespace kivro::uitest
