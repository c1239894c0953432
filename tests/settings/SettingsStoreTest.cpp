// The typed settings operations, LoadSettings and SaveExitState over the real
// store of the platform (the registry under Wine, the settings file on Linux).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TestStore.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"

namespace kivro::test {
namespace {

std::string Dword(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}
std::string Sz(const std::string& text) {
    return text + std::string(1, '\0');
}

void ExpectSameSettings(const Settings& a, const Settings& b) {
    EXPECT_EQ(a.IsRunning, b.IsRunning);
    EXPECT_EQ(a.TCPPort, b.TCPPort);
    EXPECT_EQ(a.BTComAuto, b.BTComAuto);
    EXPECT_EQ(a.USBComAuto, b.USBComAuto);
    EXPECT_STREQ(a.BTComPort, b.BTComPort);
    EXPECT_STREQ(a.USBComPort, b.USBComPort);
    EXPECT_EQ(a.DoSync, b.DoSync);
    EXPECT_STREQ(a.SyncDir, b.SyncDir);
    EXPECT_EQ(a.MaxSyncSize, b.MaxSyncSize);
    EXPECT_STREQ(a.SyncExclude, b.SyncExclude);
}

// A record whose every field differs from the defaults, so a load that
// leaves a field alone cannot pass for one that sets it.
Settings Scrambled() {
    Settings s;
    std::memset(&s, 'x', sizeof s);
    s.IsRunning = s.BTComAuto = s.USBComAuto = false;
    s.DoSync = true;
    s.TCPPort = s.MaxSyncSize = -7;
    return s;
}

TEST(Defaults, AreThoseOfThisSystem) {
    Settings d = DefaultSettings();
    EXPECT_TRUE(d.IsRunning);
    EXPECT_EQ(d.TCPPort, 5900);
    EXPECT_TRUE(d.BTComAuto);
    EXPECT_TRUE(d.USBComAuto);
    EXPECT_FALSE(d.DoSync);
    EXPECT_EQ(d.MaxSyncSize, 131072);
    EXPECT_STREQ(d.SyncExclude, "*.bak; *~");
#ifdef _WIN32
    EXPECT_STREQ(d.BTComPort, "COM3");
    EXPECT_STREQ(d.USBComPort, "COM8");
    EXPECT_STREQ(d.SyncDir, "C:\\");
#else
    EXPECT_STREQ(d.BTComPort, "rfcomm0");
    EXPECT_STREQ(d.USBComPort, "ttyACM0");
    EXPECT_EQ(std::string(d.SyncDir), std::string(getenv("HOME")) + "/KivroProxy");
#endif
}

using TypedStore = StoreTest;

TEST_F(TypedStore, ValuesRoundTrip) {
    SettingsStore& s = Store();
    ASSERT_TRUE(s.SetString("COM12", "BTComPort"));
    ASSERT_TRUE(s.SetDword(0xDEADBEEF, "TCPPort"));
    ASSERT_TRUE(s.SetBool(true, "DoSync"));
    const uint8_t blob[] = {1, 0, 2, 0xFF};
    ASSERT_TRUE(s.SetBinary(blob, sizeof blob, "Blob"));

    // A second store over the same key sees what the first wrote.
    SettingsStore other(NewValues());
    ASSERT_TRUE(other.OpenKey(keyPath_.c_str()));
    char text[kPathCapacity];
    ASSERT_TRUE(other.QueryString(text, sizeof text, "BTComPort"));
    EXPECT_STREQ(text, "COM12");
    uint32_t number = 0;
    ASSERT_TRUE(other.QueryDword(number, "TCPPort"));
    EXPECT_EQ(number, 0xDEADBEEFu);
    bool flag = false;
    ASSERT_TRUE(other.QueryBool(flag, "DoSync"));
    EXPECT_TRUE(flag);
    uint8_t back[8] = {};
    uint32_t size = 0;
    ASSERT_TRUE(other.QueryBinary(back, sizeof back, "Blob", &size));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(back, blob, 4), 0);
}

TEST_F(TypedStore, SetStringStopsAtTerminatorOrCapacity) {
    SettingsStore& s = Store();
    const char full[4] = {'C', 'O', 'M', '9'};  // a full array has no terminator
    ASSERT_TRUE(s.SetString(full, "A", sizeof full));
    ASSERT_TRUE(s.SetString("COM5", "B"));
    char text[8];
    uint32_t size = 0;
    ASSERT_TRUE(s.QueryBinary(text, sizeof text, "A", &size));
    EXPECT_EQ(std::string(text, size), Sz("COM9"));
    ASSERT_TRUE(s.QueryBinary(text, sizeof text, "B", &size));
    EXPECT_EQ(std::string(text, size), Sz("COM5"));
}

TEST_F(TypedStore, DataLargerThanTheDestinationFails) {
    Put("Text", 1, Sz("COM33"));   // 6 bytes
    Put("Number", 1, Sz("5900"));  // 5 bytes: too long for a number
    SettingsStore& s = Store();
    char text[6];
    EXPECT_TRUE(s.QueryString(text, 6, "Text"));
    EXPECT_FALSE(s.QueryString(text, 5, "Text"));
    int32_t number = 42;
    EXPECT_FALSE(s.QueryDword(number, "Number"));
    EXPECT_EQ(number, 42);
}

TEST_F(TypedStore, ShorterDataFillsOnlyTheLeadingBytes) {
    Put("Two", 3, std::string("\x0c\x17", 2));
    // Binary: the registry's ANSI calls add a terminator to REG_SZ data.
    Put("Ab", 3, std::string("ab", 2));
    SettingsStore& s = Store();
    uint32_t number = 0xAABBCCDD;
    ASSERT_TRUE(s.QueryDword(number, "Two"));
    EXPECT_EQ(number, 0xAABB170Cu);
    char text[7] = "xxxxxx";
    ASSERT_TRUE(s.QueryString(text, sizeof text, "Ab"));
    EXPECT_STREQ(text, "abxxxx");
}

TEST_F(TypedStore, TheStoredTypeIsNotExamined) {
    Put("DwordAsBinary", 3, Dword(6000));
    Put("TextAsDword", 4, std::string("abc", 4));
    SettingsStore& s = Store();
    int32_t number = 0;
    ASSERT_TRUE(s.QueryDword(number, "DwordAsBinary"));
    EXPECT_EQ(number, 6000);
    char text[4];
    ASSERT_TRUE(s.QueryString(text, sizeof text, "TextAsDword"));
    EXPECT_STREQ(text, "abc");
}

TEST_F(TypedStore, FlagIsTrueOnlyForAPositiveSignedNumber) {
    const struct {
        uint32_t stored;
        bool expected;
    } cases[] = {{0, false},         {1, true},           {2, true},
                 {0x7FFFFFFF, true}, {0x80000000, false}, {4294967295u, false}};
    SettingsStore& s = Store();
    for (const auto& c : cases) {
        ASSERT_TRUE(s.SetDword(c.stored, "IsRunning"));
        bool flag = !c.expected;
        ASSERT_TRUE(s.QueryBool(flag, "IsRunning")) << c.stored;
        EXPECT_EQ(flag, c.expected) << c.stored;
    }
    bool untouched = true;
    EXPECT_FALSE(s.QueryBool(untouched, "Missing"));
    EXPECT_TRUE(untouched);
}

TEST_F(TypedStore, EveryOperationFailsBeforeTheKeyIsOpen) {
    SettingsStore s(NewValues());
    char text[8] = "keep";
    uint32_t number = 7;
    EXPECT_FALSE(s.SetString("x", "A"));
    EXPECT_FALSE(s.SetDword(1, "A"));
    EXPECT_FALSE(s.QueryString(text, sizeof text, "A"));
    EXPECT_FALSE(s.QueryDword(number, "A"));
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(number, 7u);
}

using LoadTest = StoreTest;

TEST_F(LoadTest, EmptyKeyGivesDefaults) {
    Settings s = Scrambled();
    LoadSettings(Store(), s);
    ExpectSameSettings(s, DefaultSettings());
}

TEST_F(LoadTest, StoredValuesAreTaken) {
    SettingsStore& st = Store();
    ASSERT_TRUE(st.SetBool(false, "IsRunning"));
    ASSERT_TRUE(st.SetBool(false, "BTComAuto"));
    ASSERT_TRUE(st.SetString("COM4", "BTComPort"));
    ASSERT_TRUE(st.SetBool(false, "USBComAuto"));
    ASSERT_TRUE(st.SetString("COM9", "USBComPort"));
    ASSERT_TRUE(st.SetDword(6000, "TCPPort"));
    ASSERT_TRUE(st.SetBool(true, "DoSync"));
    ASSERT_TRUE(st.SetString("D:\\Phone", "SyncDir"));
    ASSERT_TRUE(st.SetDword(4096, "MaxSyncSize"));
    ASSERT_TRUE(st.SetString("*.tmp", "SyncExclude"));
    Settings s = Scrambled();
    LoadSettings(st, s);
    Settings expected{};
    expected.TCPPort = 6000;
    expected.DoSync = true;
    expected.MaxSyncSize = 4096;
    std::strcpy(expected.BTComPort, "COM4");
    std::strcpy(expected.USBComPort, "COM9");
    std::strcpy(expected.SyncDir, "D:\\Phone");
    std::strcpy(expected.SyncExclude, "*.tmp");
    ExpectSameSettings(s, expected);
}

TEST_F(LoadTest, OversizedOrUnusableValuesGiveTheirDefaults) {
    Put("BTComPort", 1, Sz(std::string(300, 'B')));
    Put("USBComPort", 1, Sz(std::string(260, 'U')));  // 261 bytes: fits exactly
    Put("SyncDir", 1, Sz(std::string(261, 'D')));     // one too many
    Put("TCPPort", 1, Sz("5900"));                    // a text is 5 bytes
    Put("MaxSyncSize", 4, Dword(static_cast<uint32_t>(-1)));
    Put("IsRunning", 4, Dword(4294967295u));
    Settings s = Scrambled();
    LoadSettings(Store(), s);
    const Settings d = DefaultSettings();
    EXPECT_STREQ(s.BTComPort, d.BTComPort);
    EXPECT_EQ(std::string(s.USBComPort), std::string(260, 'U'));
    EXPECT_STREQ(s.SyncDir, d.SyncDir);
    EXPECT_EQ(s.TCPPort, 5900);
    EXPECT_EQ(s.MaxSyncSize, 131072);
    EXPECT_FALSE(s.IsRunning);
}

TEST_F(LoadTest, SyncExcludeTakesAtMost255Characters) {
    for (size_t length : {255u, 256u}) {
        Put("SyncExclude", 1, Sz(std::string(length, '*')));
        Settings s = Scrambled();
        LoadSettings(Store(), s);
        EXPECT_STREQ(s.SyncExclude, length == 255 ? std::string(255, '*').c_str() : "*.bak; *~");
    }
}

TEST_F(LoadTest, TCPPortOutsideThePortRangeGivesTheDefault) {
    const struct {
        uint32_t stored;
        int32_t expected;
    } cases[] = {{0, 0}, {65535, 65535}, {65536, 5900}, {static_cast<uint32_t>(-1), 5900}};
    for (const auto& c : cases) {
        Put("TCPPort", 4, Dword(c.stored));
        Put("MaxSyncSize", 4, Dword(c.stored));
        Settings s = Scrambled();
        LoadSettings(Store(), s);
        EXPECT_EQ(s.TCPPort, c.expected) << c.stored;
        EXPECT_EQ(s.MaxSyncSize,
                  c.stored == static_cast<uint32_t>(-1) ? 131072 : int32_t(c.stored));
    }
}

TEST_F(LoadTest, ShortDataIsItsOwnBytesWhateverTheFieldHeld) {
    Put("TCPPort", 3, std::string("\x70\x17", 2));  // 6000 in two bytes
    Put("BTComPort", 3, std::string("COM7", 4));    // no terminator stored
    Settings s = Scrambled();
    LoadSettings(Store(), s);
    EXPECT_EQ(s.TCPPort, 6000);
    EXPECT_STREQ(s.BTComPort, "COM7");
}

TEST_F(LoadTest, KeyThatCannotBeOpenedGivesDefaults) {
    SettingsStore never(NewValues());  // never opened: as a key that failed to open
    Settings s = Scrambled();
    LoadSettings(never, s);
    ExpectSameSettings(s, DefaultSettings());
    EXPECT_FALSE(SaveExitState(never, true, nullptr));
}

using ExitStateTest = StoreTest;

TEST_F(ExitStateTest, StoresRunningStateAndPlacement) {
    WindowPlacement p;
    p.length = 0;  // always stored as 44
    p.flags = 1;
    p.showCmd = 2;
    p.minX = p.minY = p.maxX = p.maxY = -1;
    p.left = 22;
    p.top = 22;
    p.right = 822;
    p.bottom = 526;
    ASSERT_TRUE(SaveExitState(Store(), false, &p));

    bool running = true;
    ASSERT_TRUE(Store().QueryBool(running, "IsRunning"));
    EXPECT_FALSE(running);
    uint8_t raw[64];
    uint32_t size = 0;
    ASSERT_TRUE(Store().QueryBinary(raw, sizeof raw, "WindowPos", &size));
    ASSERT_EQ(size, 44u);
    const uint8_t head[] = {44, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(raw, head, sizeof head), 0);
    EXPECT_EQ(raw[28], 22);
    EXPECT_EQ(raw[36] | raw[37] << 8, 822);

    WindowPlacement back;
    back.length = 0;
    ASSERT_TRUE(QueryWindowPlacement(Store(), back));
    EXPECT_EQ(back.length, 44u);
    EXPECT_EQ(back.showCmd, 2u);
    EXPECT_EQ(back.minX, -1);
    EXPECT_EQ(back.left, 22);
    EXPECT_EQ(back.right, 822);
    EXPECT_EQ(back.bottom, 526);
}

TEST_F(ExitStateTest, WithoutPlacementOnlyTheRunningStateIsStored) {
    ASSERT_TRUE(SaveExitState(Store(), true, nullptr));
    Settings s = Scrambled();
    LoadSettings(Store(), s);
    EXPECT_TRUE(s.IsRunning);
    WindowPlacement p;
    EXPECT_FALSE(QueryWindowPlacement(Store(), p));
}

TEST_F(ExitStateTest, WindowPosOfAnotherSizeCountsAsMissing) {
    for (size_t size : {43u, 45u}) {
        Put("WindowPos", 3, std::string(size, '\x01'));
        WindowPlacement p;
        EXPECT_FALSE(QueryWindowPlacement(Store(), p)) << size;
    }
}

}  // namespace
}  // namespace kivro::test
