// FormatText: the placeholder and escape rules as one table run through a
// guarded destination (bytes past the capacity must never change), plus the
// in-place and capacity paths where the array's own contents matter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "text/FormatText.h"

namespace kivro {
namespace {

constexpr char kGuard = '\x7E';
constexpr size_t kGuardSize = 16;

struct Result {
    bool ok;
    std::string text;   // up to the first NUL or the capacity
    bool guardIntact;
};

Result Format(const char* format, size_t capacity, std::initializer_list<FormatArg> args) {
    std::vector<char> buffer(capacity + kGuardSize, kGuard);
    Result r;
    r.ok = FormatText(format, SIZE_MAX, buffer.data(), capacity, args);
    size_t n = 0;
    while (n < capacity && buffer[n] != '\0') ++n;
    r.text.assign(buffer.data(), n);
    r.guardIntact = true;
    for (size_t i = capacity; i < buffer.size(); ++i) r.guardIntact &= buffer[i] == kGuard;
    return r;
}

TEST(FormatText, Table) {
    const std::string s300(300, 'y');
    const std::string pad254(254, ' ');
    struct Case {
        const char* format;
        std::initializer_list<FormatArg> args;
        std::string expected;
        bool ok;
        size_t capacity = 512;
    };
    const Case cases[] = {
        // Numbers by type letter, either case.
        {"%c", {uint32_t{0}}, "0", true},
        {"%c", {uint32_t{4294967295u}}, "4294967295", true},
        {"%C", {uint32_t{3}}, "3", true},
        {"%i", {int32_t{-5}}, "-5", true},
        {"%i", {uint32_t{0xFFFFFFFFu}}, "-1", true},
        {"%I", {int32_t{INT32_MIN}}, "-2147483648", true},
        {"%h", {uint32_t{0}}, "0", true},
        {"%H", {uint32_t{0xBEEF}}, "BEEF", true},
        {"%l", {int64_t{INT64_MIN}}, "-9223372036854775808", true},
        {"%u", {uint64_t{UINT64_MAX}}, "18446744073709551615", true},
        {"%x", {uint64_t{0xDEADBEEFCAFEBABEull}}, "DEADBEEFCAFEBABE", true},
        {"%c", {uint64_t{0x100000007ull}}, "7", true},  // 32-bit types take the low word
        {"%S", {"Text"}, "Text", true},
        // Fill, alignment and width.
        {"%'02h", {uint32_t{10}}, "0A", true},
        {"%'02h", {uint32_t{255}}, "FF", true},
        {"%'02h", {uint32_t{256}}, "100", true},
        {"%4c", {uint32_t{7}}, "   7", true},
        {"%-4c", {uint32_t{7}}, "7   ", true},
        {"%'02c", {uint32_t{2}}, "02", true},
        {"%05c", {uint32_t{42}}, "   42", true},  // 0 starts the width, it is no fill
        {"%'05i", {int32_t{-42}}, "00-42", true},
        {"%-'x6s", {"ab"}, "abxxxx", true},
        {"%'%3c", {uint32_t{1}}, "%%1", true},
        {"%*c", {uint32_t{5}, uint32_t{42}}, "   42", true},
        {"%1c", {uint32_t{12345}}, "12345", true},  // width is a minimum
        {"%255c", {uint32_t{1}}, pad254 + "1", true},
        {"%256c", {uint32_t{1}}, pad254 + "1", true},
        {"%s", {s300.c_str()}, s300.substr(0, 255), true},
        {"%-256s", {s300.c_str()}, s300.substr(0, 255), true},
        {"%s (%i)", {"Access is denied.\r\n", int32_t{5}}, "Access is denied.\r\n (5)", true},
        // Inserted text is never scanned again.
        {"<%s>", {"%c\\n%"}, "<%c\\n%>", true},
        // Missing arguments read as 0 and an empty text; a number where text is due too.
        {"%c|%s|%i", {}, "0||0", true},
        {"%s|", {uint32_t{5}}, "|", true},
        // Escapes.
        {"%%", {}, "%", true},
        {"a%%c", {uint32_t{1}}, "a%c", true},
        {"a\\Tb", {}, "a\tb", true},
        {"a\\nb", {}, "a\r\nb", true},
        {"a\\Nb", {}, "a\r\nb", true},
        {"\\v\\F", {}, "\v\f", true},
        {"a\\\\b", {}, "a\\b", true},
        {"\\\\n", {}, "\\n", true},
        {"\\q\\\"", {}, "q\"", true},
        {"\\x41\\X7e", {}, "A~", true},
        {"\\x0041z", {}, "Az", true},  // every hex digit is taken
        {"\\xfF", {}, "\xff", true},
        {"\\x25i \\%i", {}, "%i %i", true},  // escaped percent signs stay literal
        {"a\tb\nc\r", {}, "a\tb\nc\r", true},  // real control characters pass
        // Failures: earlier text expanded, the rest as in the format.
        {"100%", {}, "100%", false},
        {"%c %", {uint32_t{9}}, "9 %", false},
        {"a\\", {}, "a\\", false},
        {"%c%-", {uint32_t{1}}, "1%-", false},
        {"%'", {}, "%'", false},
        {"%'x", {}, "%'x", false},
        {"%-'x12", {}, "%-'x12", false},
        {"%*", {uint32_t{3}}, "%*", false},
        {"%300c|%c", {uint32_t{7}}, "%300c|%c", false},
        {"%257c", {uint32_t{7}}, "%257c", false},
        {"%99999999999c", {uint32_t{7}}, "%99999999999c", false},
        {"%*c", {uint32_t{300}, uint32_t{1}}, "%*c", false},
        {"x%Qy%c", {uint32_t{1}}, "xy%c", false},   // the bad placeholder is removed
        {"%c %5q %c", {uint32_t{1}, uint32_t{2}, uint32_t{3}}, "1  %c", false},
        {"a\\xgb", {}, "agb", false},               // bad \x removed with its digits
        {"a\\x100z%c", {}, "az%c", false},
        {"a\\x0000000100z", {}, "az", false},
        {"%c\\x%c", {uint32_t{7}, uint32_t{8}}, "7%c", false},
        // Capacity: the format is cut silently; an insertion that overflows fails.
        {"COM%c", {uint32_t{12345678}}, "COM12345", false, 8},
        {"COM%c", {uint32_t{12345}}, "COM12345", true, 8},
        {"abcdef%c", {uint32_t{1}}, "abcd", true, 4},
        {"%c-tail", {uint32_t{12345678}}, "12345678-t", false, 10},
        {"%s", {"abc"}, "", true, 0},
    };
    for (const Case& c : cases) {
        Result r = Format(c.format, c.capacity, c.args);
        EXPECT_EQ(r.text, c.expected) << "format: " << c.format;
        EXPECT_EQ(r.ok, c.ok) << "format: " << c.format;
        EXPECT_TRUE(r.guardIntact) << "format: " << c.format;
    }
}

TEST(FormatText, InPlaceExpandsAndClearsTheRest) {
    char buffer[32];
    std::memset(buffer, 'Z', sizeof buffer);
    std::memcpy(buffer, "%c%c%c!", 8);
    EXPECT_TRUE(FormatText(buffer, {uint32_t{1}, uint32_t{2}, uint32_t{3}}));
    EXPECT_STREQ(buffer, "123!");
    for (size_t i = 4; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '\0') << i;

    char message[512] = "Client connected from: %s";
    EXPECT_TRUE(FormatText(message, {"192.168.1.20"}));
    EXPECT_STREQ(message, "Client connected from: 192.168.1.20");
}

TEST(FormatText, InPlaceFullArrayWithoutTerminator) {
    // The format fills the array; the field pushes the tail past the end.
    char buffer[6] = {'%', 'c', 'w', 'x', 'y', 'z'};
    EXPECT_FALSE(FormatText(buffer, {uint32_t{123}}));
    EXPECT_EQ(std::string(buffer, 6), "123wxy");

    char exact[6] = {'%', 'c', 'w', 'x', 'y', 'z'};
    EXPECT_TRUE(FormatText(exact, {uint32_t{12}}));
    EXPECT_EQ(std::string(exact, 6), "12wxyz");
}

TEST(FormatText, SeparateFormatIsLeftAlone) {
    const char format[] = "%'08h\\n";
    char dest[16];
    EXPECT_TRUE(FormatText(format, sizeof format, dest, sizeof dest, {uint32_t{0xABC}}));
    EXPECT_STREQ(dest, "00000ABC\r\n");
    EXPECT_STREQ(format, "%'08h\\n");

    // A format read only up to its own capacity, not its terminator.
    EXPECT_TRUE(FormatText("%c%c", 2, dest, sizeof dest, {uint32_t{4}, uint32_t{5}}));
    EXPECT_STREQ(dest, "4");
}

TEST(FormatText, TextArgumentInsideTheDestination) {
    // The field is taken before the destination moves, so an argument that
    // points into the very array reads what stood there then.
    char buffer[16] = "ab%s";
    EXPECT_TRUE(FormatText(buffer, {static_cast<const char*>(buffer)}));
    EXPECT_STREQ(buffer, "abab");
}

}  // namespace
}  // namespace kivro
