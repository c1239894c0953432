// The main window's log: a read-only rich-edit child in which each entry is a
// black time stamp, a light-blue text and a line end. The log is the program's
// only record (there is no log file), so it keeps at most 131072 characters
// and drops the oldest 32768 once it holds 130048 or more; after every change
// the newest text is in view. The time stamp is the console's (FormatTimeStamp),
// so both front ends write the same entries.
//
// Contract: Create once per main window, before anything else; the view dies
// with its parent. Resize and the DPI follow the parent's layout, which calls
// Move and SetDpi. Used on the user-interface thread only.
#pragma once

#include <windows.h>

namespace kivro {

class LogView {
  public:
    // The log's background, also that of the main window's class.
    static constexpr COLORREF kBackground = RGB(0, 101, 156);

    // Creates the empty view as child `id` of parent, with zero size, the text
    // limit, the background and the default font and colour of all its text.
    bool Create(HWND parent, int id);
    HWND Window() const { return window_; }

    // One entry, or part of one: the time stamp when asked for, the text, and
    // a line end when asked for.
    void Append(bool withTimeStamp, const char* text, bool withLineEnd);
    // "dd.MM.yyyy HH:mm:ss " of the local time now.
    void WriteTimeStamp();

    // The text's size at the window's DPI; colours already logged stay.
    void SetDpi(UINT dpi);
    void Move(int width, int height);

  private:
    void TrimAndScroll();

    HWND window_ = nullptr;
};

}  // namespace kivro
