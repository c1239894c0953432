#include <gtest/gtest.h>

#include "platform/System.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {
namespace {

TEST(Text, CopyCutsSilentlyAndFullArrayHasNoTerminator) {
    char dest[4];
    TextCopy(dest, "COM12");
    EXPECT_EQ(std::string(dest, 4), "COM1");
    EXPECT_EQ(TextLength(dest), 4u);
    char small[8] = "ab";
    TextAppend(small, "cdefghij");
    EXPECT_EQ(std::string(small, 8), "abcdefgh");
}

TEST(Text, ParseInt32Rules) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"5900", true, 5900},      {"  42", true, 42},   {"+80", true, 80},
        {"-1", true, -1},          {"0080", true, 80},   {"", false, 0},
        {"-", false, 0},           {"59x", false, 0},    {"12 ", false, 0},
        {"2147483647", true, INT32_MAX}, {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},  {"99999999999999999999", false, 0}, {"+-1", false, 0},
    };
    for (const Case& c : cases) {
        int32_t v = 12345;
        EXPECT_EQ(ParseInt32(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(Text, UpperTableFollowsWindows1252) {
    platform::InitUpperTable();
    EXPECT_EQ(UpperTable['a'], 'A');
    EXPECT_EQ(UpperTable['z'], 'Z');
    EXPECT_EQ(UpperTable['{'], '{');
    EXPECT_EQ(UpperTable[0xE9], 0xC9);  // e acute
    EXPECT_EQ(UpperTable[0xF7], 0xF7);  // division sign stays
    EXPECT_EQ(UpperTable[0x9A], 0x8A);
    EXPECT_EQ(UpperTable[0xFF], 0x9F);
    EXPECT_TRUE(EqualNoCase("\\device\\usbser000", "\\DEVICE\\USBSER000"));
    EXPECT_FALSE(EqualNoCase("COM3", "COM30"));
}

TEST(Messages, LoadByNumber) {
    char buf[512];
    ASSERT_TRUE(LoadMessage(2022, buf));
    EXPECT_STREQ(buf,
                 "The proxy must be restarted for the changes to take effect\nDo you want to "
                 "restart it now?");
    ASSERT_TRUE(LoadMessage(2010, buf));
    EXPECT_STREQ(buf, "Sending to server: %s ");
    EXPECT_FALSE(LoadMessage(2014, buf));
    EXPECT_FALSE(LoadMessage(3022, buf));
    char small[5];
    ASSERT_TRUE(LoadMessage(2000, small));
    EXPECT_STREQ(small, "Kivr");
}

}  // namespace
}  // namespace kivro
