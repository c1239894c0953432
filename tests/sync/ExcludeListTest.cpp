#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/System.h"
#include "sync/ExcludeList.h"
#include "text/Text.h"

namespace kivro {
namespace {

std::vector<std::string> Patterns(const ExcludeList& list) {
    std::vector<std::string> out;
    for (size_t i = 0; i < list.Count(); ++i)
        out.emplace_back(list.Pattern(i), TextLength(list.Pattern(i), kPatternCapacity));
    return out;
}

TEST(ExcludeList, ParsesItemsFrontFirst) {
    using V = std::vector<std::string>;
    struct Case {
        const char* list;
        V patterns;  // front of the list first: the last item comes first
    } cases[] = {
        {"*.bak; *~", V{"*~", "*.bak"}},
        {"*.bak, *~", V{"*.bak, *~"}},             // a comma does not separate
        {"  a b ;;c", V{"c", "", "a b"}},          // inner blank kept, empty item kept
        {"a; \t ;b", V{"b", "", "a"}},             // blanks only: an empty item
        {";a", V{"a", ""}},
        {"a;", V{"a"}},                             // nothing after the last ";"
        {"\x01\x1f x \x20\t", V{"x"}},              // every code 1..32 is a blank
        {"\xa0x\xa0;\xff", V{"\xff", "\xa0x\xa0"}},  // codes above 127 are not blanks
        {"", V{}},
        {"   \t ", V{}},
    };
    for (const Case& c : cases) {
        ExcludeList list;
        list.Add(c.list);
        EXPECT_EQ(Patterns(list), c.patterns) << c.list;
    }
}

TEST(ExcludeList, CapacitiesAndClear) {
    ExcludeList list;
    const char full[5] = {'a', 'b', ';', 'c', 'd'};  // a full array has no terminator
    list.Add(full, sizeof full);
    EXPECT_EQ(Patterns(list), (std::vector<std::string>{"cd", "ab"}));

    list.Add(std::string(300, 'q').c_str());  // existing patterns stay; long ones are cut
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(TextLength(list.Pattern(0), kPatternCapacity), 256u);
    EXPECT_TRUE(list.Matches(std::string(256, 'Q').c_str()));

    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_FALSE(list.Matches("ab"));
}

TEST(ExcludeList, EmptyPatternMatchesNoName) {
    ExcludeList list;
    list.Add(" ; ");
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_FALSE(list.Matches("a"));
    EXPECT_FALSE(list.Matches(" "));
}

TEST(WildcardMatch, Table) {
    platform::InitUpperTable();
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.bak", "REPORT.BAK", true},  {"*.bak", "old.Bak", true},    {"*.bak", ".bak", true},
        {"*.bak", "x.bak2", false},     {"*.bak", "x.bak.txt", false}, {"*~", "notes.doc~", true},
        {"*~", "~", true},              {"?.txt", "a.txt", true},      {"?.txt", "ab.txt", false},
        {"?.txt", ".txt", false},       {"a*b*c", "abc", true},        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXXbYYc", true},     {"a*b*c", "acb", false},       {"abc", "ABC", true},
        {"abc", "abcd", false},         {"abcd", "abc", false},        {"", "", true},
        {"", "a", false},               {"*", "a", false},             {"*", "", false},
        {"a*", "a", false},             {"a*", "abc", false},          {"**", "ab", false},
        {"**b", "b", true},             {"*?", "a", true},             {"*?", "", false},
        {"*a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"dir\\*.txt", "a.txt", false}, {"\xe4?", "\xc4x", true},      {"*.BAK", "old.bak", true},
        {"a?c", "a\xff" "c", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
    }
}

TEST(WildcardMatch, EndsAtCapacity) {
    const char pattern[3] = {'a', '?', 'c'};  // full arrays, no terminators
    const char name[3] = {'A', 'b', 'C'};
    EXPECT_TRUE(WildcardMatch(pattern, name, 3, 3));
    EXPECT_FALSE(WildcardMatch(pattern, name, 3, 2));
}

// The matching rule spelled out step by step, as a reference for the faster form.
bool Reference(const std::string& p, size_t pi, const std::string& n, size_t ni) {
    if (pi == p.size()) return ni == n.size();
    if (p[pi] == '*') {
        for (size_t k = ni; k < n.size(); ++k)
            if (Reference(p, pi + 1, n, k)) return true;
        return false;
    }
    if (ni == n.size()) return false;
    if (p[pi] != '?' && UpperChar(p[pi]) != UpperChar(n[ni])) return false;
    return Reference(p, pi + 1, n, ni + 1);
}

TEST(WildcardMatch, AgreesWithStepByStepRule) {
    std::mt19937 random(12345);
    const char patternChars[] = "aAb*?";
    const char nameChars[] = "abB";
    for (int i = 0; i < 50000; ++i) {
        std::string p(random() % 7, ' '), n(random() % 7, ' ');
        for (char& c : p) c = patternChars[random() % 5];
        for (char& c : n) c = nameChars[random() % 3];
        ASSERT_EQ(WildcardMatch(p.c_str(), n.c_str()), Reference(p, 0, n, 0)) << p << " / " << n;
    }
}

}  // namespace
}  // namespace kivro
