// See LogView.h. Each piece goes in as the replaced selection at the end of the
// text, after the selection was given the piece's colour: the rich-edit
// control has no "append with format", and a text inserted into a coloured
// empty selection takes that colour.
#include "app/win32/LogView.h"

#include <richedit.h>

#include "app/Presentation.h"
#include "app/win32/Screen.h"
#include "platform/System.h"

namespace kivro {

namespace {
constexpr COLORREF kDefaultText = RGB(206, 207, 255);
constexpr COLORREF kTimeStampColour = RGB(0, 0, 0);
constexpr COLORREF kMessageColour = RGB(192, 192, 255);
constexpr int kLimit = 131072;
constexpr int kTrimThreshold = kLimit - 1024;
constexpr int kTrimCount = 32768;
constexpr LONG kFontTwips = 156;  // 7.8 points

void SetSelectionColour(HWND log, COLORREF colour) {
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_COLOR;
    format.crTextColor = colour;
    SendMessageA(log, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
}

void SelectEnd(HWND log) {
    CHARRANGE end = {-1, -1};
    SendMessageA(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
}
}  // namespace

bool LogView::Create(HWND parent, int id) {
    window_ = CreateWindowExA(
        WS_EX_CLIENTEDGE, "RichEdit20A", "",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 0, 0, 0,
        0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
        nullptr);
    if (window_ == nullptr) return false;
    SendMessageA(window_, EM_EXLIMITTEXT, 0, kLimit);
    SendMessageA(window_, EM_SETBKGNDCOLOR, 0, kBackground);
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_BOLD | CFM_FACE | CFM_SIZE | CFM_COLOR;
    format.yHeight = kFontTwips;
    format.crTextColor = kDefaultText;
    lstrcpynA(format.szFaceName, "Lucida Console", LF_FACESIZE);
    SendMessageA(window_, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
    return true;
}

void LogView::Append(bool withTimeStamp, const char* text, bool withLineEnd) {
    if (withTimeStamp) WriteTimeStamp();
    SelectEnd(window_);
    SetSelectionColour(window_, kMessageColour);
    SendMessageA(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    if (withLineEnd) {
        SelectEnd(window_);
        SendMessageA(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("\r\n"));
    }
    TrimAndScroll();
}

void LogView::WriteTimeStamp() {
    char stamp[21];
    FormatTimeStamp(platform::LocalNow(), stamp);
    SelectEnd(window_);
    SetSelectionColour(window_, kTimeStampColour);
    SendMessageA(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(stamp));
    TrimAndScroll();
}

void LogView::TrimAndScroll() {
    if (GetWindowTextLengthA(window_) >= kTrimThreshold) {
        SendMessageA(window_, EM_SETSEL, 0, kTrimCount);
        SendMessageA(window_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
    }
    SetFocus(window_);
    LONG length = GetWindowTextLengthA(window_);
    CHARRANGE caret = {length, length};
    SendMessageA(window_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&caret));
    SendMessageA(window_, EM_SCROLLCARET, 0, 0);
    HideCaret(window_);
}

// The rich-edit control converts points at the system DPI, so the size in
// twips is scaled by the window's DPI over that.
void LogView::SetDpi(UINT dpi) {
    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_SIZE;
    format.yHeight = MulDiv(kFontTwips, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
    SendMessageA(window_, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
}

void LogView::Move(int width, int height) {
    MoveWindow(window_, 0, 0, width, height, TRUE);
}

}  // namespace kivro
