// The check of file names received from the phone, both rule sets on every
// system: one table of names with the verdict of each set.
#include <gtest/gtest.h>

#include <string>

#include "sync/SafeName.h"

namespace kivro {
namespace {

struct NameCase {
    std::string name;
    bool posix;
    bool windows;
};

TEST(SafeName, EachRuleSetRefusesWhatCouldLeaveTheFolderOrIsNoPlainFile) {
    const NameCase cases[] = {
        {"a.txt", true, true},
        {"photo 1.jpg", true, true},
        {" leading blank", true, true},
        {".hidden", true, true},
        {"...x", true, true},
        {"CONSOLE.txt", true, true},  // longer than the device name
        {"COM10", true, true},        // only one digit makes a port
        {"xCON", true, true},
        {"COM", true, true},
        {"caf\xE9.txt", true, true},  // ANSI letters pass
        {std::string(260, 'n'), true, true},
        {"", false, false},
        {".", false, false},
        {"..", false, false},
        {"/etc/passwd", false, false},
        {"../up", false, false},
        {"sub/file", false, false},
        {"..\\up", false, false},
        {"\\\\server\\share", false, false},
        {"C:\\Windows\\x", false, false},
        {"C:x", false, false},
        {"a:stream", false, false},
        {"tab\there", false, false},
        {"line\nfeed", false, false},
        {std::string("nul\0byte", 8), false, false},
        {"del\x7F", false, false},
        {"\x1B", false, false},
        {"a<b", true, false},
        {"a>b", true, false},
        {"say\"hi\"", true, false},
        {"a|b", true, false},
        {"what?", true, false},
        {"*.txt", true, false},
        {"trailing.", true, false},
        {"trailing ", true, false},
        {"CON", true, false},
        {"con", true, false},
        {"Prn.txt", true, false},
        {"AUX.tar.gz", true, false},
        {"nul.", true, false},
        {"NUL .txt", true, false},
        {"COM1", true, false},
        {"com9.log", true, false},
        {"LPT1", true, false},
        {"lpt5.txt", true, false},
        {"COM\xB9", true, false},  // superscript one
        {"LPT\xB3.x", true, false},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE("name \"" + c.name + "\"");
        EXPECT_EQ(IsSafeFileName(c.name.data(), c.name.size(), FileNameRules::Posix), c.posix);
        EXPECT_EQ(IsSafeFileName(c.name.data(), c.name.size(), FileNameRules::Windows), c.windows);
    }
}

}  // namespace
}  // namespace kivro
