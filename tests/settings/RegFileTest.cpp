// The REGEDIT4 reader and writer: what each line gives, files as regedit
// exports them, damaged files, and that a save changes only what it must.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/RegFile.h"

namespace kivro {
namespace {

const char* const kKey = "HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy";

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}
std::vector<uint8_t> Sz(const std::string& s) {
    std::vector<uint8_t> b = Bytes(s);
    b.push_back(0);
    return b;
}

// What the file gives for name: "missing", or the type and the data's bytes.
std::string Read(const RegFile& file, const std::string& name) {
    const RegValue* v = file.Find(name);
    if (!v) return "missing";
    return std::to_string(v->type) + ":" + std::string(v->data.begin(), v->data.end());
}
std::string Typed(uint32_t type, const std::vector<uint8_t>& data) {
    return std::to_string(type) + ":" + std::string(data.begin(), data.end());
}

RegFile Parsed(const std::string& text) {
    RegFile f(kKey);
    f.Parse(text);
    return f;
}

std::string InKey(const std::string& lines) {
    return "REGEDIT4\n\n[" + std::string(kKey) + "]\n" + lines;
}

TEST(RegFileLine, EachFormGivesItsValue) {
    const struct {
        const char* line;
        std::string expected;
    } cases[] = {
        {"\"A\"=\"COM3\"", Typed(1, Sz("COM3"))},
        {"\"A\"=\"\"", Typed(1, Sz(""))},
        {"\"A\"=\"C:\\\\dir \\\"q\\\"\"", Typed(1, Sz("C:\\dir \"q\""))},
        {"\"A\"=\"C:\\Users\"", Typed(1, Sz("C:\\Users"))},        // a lone backslash is literal
        {"\"A\"=\"\xe4\xf6\xfc\"", Typed(1, Sz("\xe4\xf6\xfc"))},  // bytes pass through
        {"\"A\"=dword:0000170c", Typed(4, {0x0c, 0x17, 0, 0})},
        {"\"A\"=dword:1", Typed(4, {1, 0, 0, 0})},
        {"\"A\"=DWORD:FFFFFFFF", Typed(4, {0xff, 0xff, 0xff, 0xff})},
        {"\"A\"=hex:2c,00,ff", Typed(3, {0x2c, 0, 0xff})},
        {"\"A\"=hex:", Typed(3, {})},
        {"\"A\"=hex(7):41,00,00", Typed(7, {0x41, 0, 0})},
        {"\"A\"=hex(b):01", Typed(11, {1})},
        {"  \"A\" = dword:00000002  ", Typed(4, {2, 0, 0, 0})},
        {"\"A\"=-", "missing"},
        // Lines that cannot be read: the value counts as missing.
        {"\"A\"=dword:", "missing"},
        {"\"A\"=dword:123456789", "missing"},
        {"\"A\"=dword:12g", "missing"},
        {"\"A\"=\"unterminated", "missing"},
        {"\"A\"=\"text\" trailing", "missing"},
        {"\"A\"=hex:2c,,00", "missing"},
        {"\"A\"=hex:123", "missing"},
        {"\"A\"=hex(x):00", "missing"},
        {"\"A\"=word:00", "missing"},
        {"\"A\"", "missing"},
        {"A=\"x\"", "missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        RegFile f = Parsed(InKey(std::string(c.line) + "\n"));
        EXPECT_EQ(Read(f, "A"), c.expected);
        EXPECT_EQ(Read(f, "a"), c.expected);  // names compare without case
        EXPECT_EQ(f.Text(), InKey(std::string(c.line) + "\n"));
    }
}

TEST(RegFileLine, LastOfEqualNamesWins) {
    RegFile f =
        Parsed(InKey("\"A\"=dword:1\n\"B\"=\"x\"\n\"a\"=dword:2\n\"B\"=-\n"
                     "\"C\"=dword:3\n\"C\"=garbage\n"));
    EXPECT_EQ(Read(f, "A"), Typed(4, {2, 0, 0, 0}));
    EXPECT_EQ(Read(f, "B"), "missing");
    EXPECT_EQ(Read(f, "C"), Typed(4, {3, 0, 0, 0}));  // an unread line changes nothing
}

// As Windows regedit exports a key in REGEDIT4 form: CRLF, wrapped hex values,
// the parent key, a sub-key and a sibling with values of the same names.
const std::string kExport =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Ostraven]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\r\n"
    "\"IsRunning\"=dword:00000001\r\n"
    "\"WindowPos\"=hex:2c,00,00,00,00,00,00,00,01,00,00,00,ff,ff,ff,ff,ff,ff,ff,ff,ff,\\\r\n"
    "  ff,ff,ff,ff,ff,ff,ff,16,00,00,00,16,00,00,00,36,03,00,00,0e,02,00,00\r\n"
    "\"BTComAuto\"=dword:00000000\r\n"
    "\"BTComPort\"=\"COM4\"\r\n"
    "\"TCPPort\"=dword:0000170c\r\n"
    "\"SyncDir\"=\"C:\\\\Documents and Settings\\\\Anna \\\"A\\\" Berg\\\\Phone\"\r\n"
    "\"SyncExclude\"=\"*.bak; *~\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy\\Recent]\r\n"
    "\"TCPPort\"=dword:00000017\r\n"
    "\"List\"=hex(7):43,4f,4d,33,00,43,4f,4d,38,00,43,4f,4d,31,32,00,72,66,63,6f,6d,\\\r\n"
    "  6d,30,00,00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Ostraven\\Other]\r\n"
    "\"BTComPort\"=\"COM99\"\r\n"
    "\r\n";

const std::vector<uint8_t> kWindowPos = {
    0x2c, 0,    0,    0,    0,    0,    0,    0,    1,    0,    0,    0,    0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x16, 0,
    0,    0,    0x16, 0,    0,    0,    0x36, 3,    0,    0,    0x0e, 2,    0,    0};

TEST(RegFileExport, ReadsOurKeyOnly) {
    RegFile f = Parsed(kExport);
    EXPECT_EQ(f.UnreadLines(), 0u);
    EXPECT_EQ(Read(f, "IsRunning"), Typed(4, {1, 0, 0, 0}));
    EXPECT_EQ(Read(f, "WindowPos"), Typed(3, kWindowPos));
    EXPECT_EQ(Read(f, "BTComPort"), Typed(1, Sz("COM4")));
    EXPECT_EQ(Read(f, "TCPPort"), Typed(4, {0x0c, 0x17, 0, 0}));
    EXPECT_EQ(Read(f, "SyncDir"),
              Typed(1, Sz("C:\\Documents and Settings\\Anna \"A\" Berg\\Phone")));
    EXPECT_EQ(Read(f, "List"), "missing");
    EXPECT_EQ(f.Text(), kExport);
}

TEST(RegFileExport, WritesAsRegeditDoes) {
    // Every value line of the export, written again from its value, is the
    // same text: the writer's forms and wrapping are regedit's.
    RegFile f = Parsed(kExport);
    for (const char* name : {"IsRunning", "WindowPos", "BTComPort", "TCPPort", "SyncDir"}) {
        const RegValue* v = f.Find(name);
        ASSERT_NE(v, nullptr);
        std::string line =
            RegFile::FormatValue(name, v->type, v->data.data(), v->data.size(), "\r\n") + "\r\n";
        EXPECT_NE(kExport.find("\r\n" + line), std::string::npos) << line;
    }
    const std::string list("COM3\0COM8\0COM12\0rfcomm0\0", 25);
    EXPECT_NE(
        kExport.find(RegFile::FormatValue("List", 7, Bytes(list).data(), list.size(), "\r\n")),
        std::string::npos);
}

TEST(RegFileExport, SetRewritesOnlyTheChangedLinesKeepingCrlf) {
    RegFile f = Parsed(kExport);
    const uint8_t port[] = {0x70, 0x17, 0, 0};
    f.Set("TCPPort", 4, port, 4);
    const std::vector<uint8_t> com = Sz("COM5");
    f.Set("USBComPort", 1, com.data(), com.size());

    std::string expected = kExport;
    expected.replace(expected.find("\"TCPPort\"=dword:0000170c"), 24, "\"TCPPort\"=dword:00001770");
    const std::string lastOfOurs = "\"SyncExclude\"=\"*.bak; *~\"\r\n";
    expected.insert(expected.find(lastOfOurs) + lastOfOurs.size(), "\"USBComPort\"=\"COM5\"\r\n");
    EXPECT_EQ(f.Text(), expected);
    EXPECT_EQ(Read(Parsed(f.Text()), "TCPPort"), Typed(4, {0x70, 0x17, 0, 0}));
}

TEST(RegFileRoundTrip, EveryKindOfValueSurvives) {
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> values = {
        {1, Sz("plain")},
        {1, Sz("back\\slash \"quoted\" \xe9")},
        {1, Sz("two\r\nlines")},      // cannot be a "text" line: goes out as hex(1)
        {1, Bytes("no terminator")},  // likewise
        {1, Bytes(std::string("in\0side", 7) + '\0')},
        {4, {0x0c, 0x17, 0, 0}},
        {4, {1, 2}},  // a short dword is bytes of type 4
        {3, std::vector<uint8_t>(200, 0xab)},
        {3, {}},
        {2, Sz("%HOME%")},
    };
    RegFile f(kKey);
    for (size_t i = 0; i < values.size(); ++i) {
        std::string name = "V" + std::to_string(i);
        f.Set(name, values[i].first, values[i].second.data(), values[i].second.size());
    }
    RegFile back = Parsed(f.Text());
    EXPECT_EQ(back.UnreadLines(), 0u);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(Read(back, "V" + std::to_string(i)), Typed(values[i].first, values[i].second))
            << i;
    EXPECT_EQ(f.Text().rfind("REGEDIT4\n\n[" + std::string(kKey) + "]\n\"V0\"=\"plain\"\n", 0), 0u);
}

TEST(RegFileSet, NewKeyGoesAfterOtherKeys) {
    RegFile f = Parsed("REGEDIT4\n\n[HKEY_CURRENT_USER\\Other]\n\"A\"=dword:1");  // no final eol
    const uint8_t one[] = {1, 0, 0, 0};
    f.Set("A", 4, one, 4);
    EXPECT_EQ(f.Text(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Other]\n\"A\"=dword:1\n\n[" +
                            std::string(kKey) + "]\n\"A\"=dword:00000001\n");
}

TEST(RegFileSet, ReplacesTheWinningLineAndARemoval) {
    RegFile f = Parsed(InKey("\"A\"=dword:1\n\"A\"=hex:01,\\\n  02\n\"B\"=-\n; end\n"));
    const uint8_t seven[] = {7, 0, 0, 0};
    f.Set("a", 4, seven, 4);
    f.Set("B", 4, seven, 4);
    EXPECT_EQ(f.Text(),
              InKey("\"A\"=dword:1\n\"A\"=dword:00000007\n\"B\"=dword:00000007\n; end\n"));
}

// A file cut off and damaged in places: what can be read is read, and saving
// a value keeps every line of it.
const std::string kDamaged =
    "REGEDIT4\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy]\n"
    "\"BTComPort\"=\"COM4\"\n"
    "\"TCPPort\"=dwrd:0000170c\n"
    "\x01\x02 binary junk \xff\n"
    "\"WindowPos\"=hex:2c,00,00,00,\\\n"
    "\"DoSync\"=dword:00000001\n"
    "[HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy\n"
    "\"SyncDir\"=\"C:\\\\Phone\"\n"
    "\"SyncExclude\"=hex:2a,2e,\\\n"
    "  62,61,6b,00\r\n"
    "\"MaxSyncSize\"=hex:00,10,\\";

TEST(RegFileDamaged, ReadsWhatItCanAndSavingLosesNothing) {
    RegFile f = Parsed(kDamaged);
    EXPECT_EQ(Read(f, "BTComPort"), Typed(1, Sz("COM4")));
    EXPECT_EQ(Read(f, "TCPPort"), "missing");
    EXPECT_EQ(Read(f, "WindowPos"), "missing");                // its continuation is not hex
    EXPECT_EQ(Read(f, "DoSync"), Typed(4, {1, 0, 0, 0}));      // read again on its own
    EXPECT_EQ(Read(f, "SyncDir"), Typed(1, Sz("C:\\Phone")));  // a broken key line is no key
    EXPECT_EQ(Read(f, "SyncExclude"), Typed(3, Sz("*.bak")));
    EXPECT_EQ(Read(f, "MaxSyncSize"), "missing");  // cut off after a continuation
    EXPECT_EQ(f.UnreadLines(), 5u);
    EXPECT_EQ(f.Text(), kDamaged);

    const uint8_t port[] = {0x70, 0x17, 0, 0};
    f.Set("TCPPort", 4, port, 4);
    f.Set("MaxSyncSize", 4, port, 4);
    const std::string saved = f.Text();
    EXPECT_EQ(saved.rfind(kDamaged, 0), 0u);  // every byte kept, new lines after
    EXPECT_EQ(saved.substr(kDamaged.size()),
              "\n\"TCPPort\"=dword:00001770\n\"MaxSyncSize\"=dword:00001770\n");
    RegFile again = Parsed(saved);
    EXPECT_EQ(Read(again, "TCPPort"), Typed(4, {0x70, 0x17, 0, 0}));
    EXPECT_EQ(Read(again, "BTComPort"), Typed(1, Sz("COM4")));
}

}  // namespace
}  // namespace kivro
