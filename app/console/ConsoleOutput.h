// Standard output and standard error as the window's log, status bar and
// error boxes. Standard output gets exactly what the log would get: a time
// stamp, the text, a line end, with the same rules for entries without a time
// stamp or line end, flushed as each entry is written. On a terminal the
// status-bar text is a live line below the log, rewritten in place and cleared
// before each entry; anywhere else it is not printed, so a pipe or a file
// holds log entries only. Console thread only.
#pragma once

#include <cstdio>

namespace kivro::console {

class ConsoleOutput {
  public:
    // statusLine: draw the status-bar text (standard output is a terminal).
    ConsoleOutput(std::FILE* out, std::FILE* err, bool statusLine);

    void AppendLog(bool withTimeStamp, const char* text, bool withLineEnd);
    // Replaces the status text; empty clears it.
    void SetStatusText(const char* text);
    // "KivroProxy: " and the whole text, one line on standard error.
    void ShowError(const char* text);

  private:
    void EraseStatus();
    void DrawStatus();

    std::FILE* out_;
    std::FILE* err_;
    const bool statusLine_;
    bool statusShown_ = false;
    // A log entry without a line end is open: the status line waits for it.
    bool midLine_ = false;
    char status_[512] = {};
};

}  // namespace kivro::console
