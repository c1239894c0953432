// See ConsoleOutput.h. The status line is cut to the terminal's width so that
// "\r" and erase-to-end-of-line always reach all of it; a wrapped line would
// leave its first part behind.
#include "app/console/ConsoleOutput.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app/Presentation.h"
#include "platform/System.h"
#include "text/Text.h"

namespace kivro::console {

ConsoleOutput::ConsoleOutput(std::FILE* out, std::FILE* err, bool statusLine)
    : out_(out), err_(err), statusLine_(statusLine) {}

void ConsoleOutput::EraseStatus() {
    if (!statusShown_) return;
    std::fputs("\r\033[K", out_);
    statusShown_ = false;
}

void ConsoleOutput::DrawStatus() {
    if (!statusLine_ || midLine_ || status_[0] == '\0') return;
    size_t width = 80;
    winsize size{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1) width = size.ws_col;
    const size_t length = std::min(std::strlen(status_), width - 1);
    std::fprintf(out_, "\r%.*s\033[K", static_cast<int>(length), status_);
    statusShown_ = true;
}

void ConsoleOutput::AppendLog(bool withTimeStamp, const char* text, bool withLineEnd) {
    EraseStatus();
    if (withTimeStamp) {
        char stamp[21];
        FormatTimeStamp(platform::LocalNow(), stamp);
        std::fputs(stamp, out_);
    }
    std::fputs(text, out_);
    if (withLineEnd) std::fputc('\n', out_);
    midLine_ = !withLineEnd;
    DrawStatus();
    std::fflush(out_);
}

void ConsoleOutput::SetStatusText(const char* text) {
    if (!statusLine_) return;
    TextCopy(status_, text);
    EraseStatus();
    DrawStatus();
    std::fflush(out_);
}

void ConsoleOutput::ShowError(const char* text) {
    // A system text may bring its own line end; one is enough.
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    std::fprintf(err_, "KivroProxy: %.*s\n", static_cast<int>(length), text);
    std::fflush(err_);
}

}  // namespace kivro::console
