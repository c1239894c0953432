// See BuildDate.h. __DATE__ pads a one-digit day with a blank ("Apr  6 2009");
// the Version page shows the day without that blank.
#include "app/BuildDate.h"

#include "text/Text.h"

namespace kivro {

void FormatBuildDate(const char* compilerDate, const char* compilerTime, char (&out)[32]) {
    char day[3] = {compilerDate[4] == ' ' ? compilerDate[5] : compilerDate[4],
                   compilerDate[4] == ' ' ? '\0' : compilerDate[5], '\0'};
    TextCopy(out, day);
    TextAppend(out, "-");
    char month[4] = {compilerDate[0], compilerDate[1], compilerDate[2], '\0'};
    TextAppend(out, month);
    TextAppend(out, "-");
    TextAppend(out, compilerDate + 7);
    TextAppend(out, " ");
    char hourMinute[6] = {compilerTime[0], compilerTime[1], ':',
                          compilerTime[3], compilerTime[4], '\0'};
    TextAppend(out, hourMinute);
}

const char* BuildDate() {
    static char text[32];
    if (text[0] == '\0') FormatBuildDate(__DATE__, __TIME__, text);
    return text;
}

}  // namespace kivro
