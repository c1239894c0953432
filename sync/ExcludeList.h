// Exclude patterns: the SyncExclude text cut into patterns, and the wildcard
// match of a pattern against a bare file name. A pattern list is short (one
// 255-character setting), so the patterns are kept in a plain vector of fixed
// texts; which one matches first does not matter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivro {

inline constexpr size_t kPatternCapacity = 256;  // a pattern and a listed file name

// True when the whole name matches the whole pattern. "*" matches any run of
// characters, "?" any one character, anything else itself case-insensitively
// through the upper-case table; no escapes, no classes. A star is tried only at
// positions where the name still has a character, so a pattern that ends in "*"
// matches no name at all (the saved settings were written against that rule).
// Both texts end at a NUL or at their capacity.
bool WildcardMatch(const char* pattern, const char* name, size_t patternCapacity = kPatternCapacity,
                   size_t nameCapacity = kPatternCapacity);

class ExcludeList {
public:
    // Forgets every pattern.
    void Clear() { patterns_.clear(); }
    // Adds the patterns of a list: items separated by ";" only (a comma is an
    // ordinary character), blanks (codes 1 to 32) cut from both ends of an item,
    // inner blanks kept, each cut to 256 characters. An item with nothing but
    // blanks gives an empty pattern, which matches no file name.
    void Add(const char* list, size_t capacity = SIZE_MAX);
    // True when any pattern matches the name.
    bool Matches(const char* name, size_t nameCapacity = kPatternCapacity) const;

    size_t Count() const { return patterns_.size(); }
    // Pattern i, latest added first (the order of the monitor's list, where new
    // entries go to the front). Ends at NUL or after kPatternCapacity characters.
    const char* Pattern(size_t i) const { return patterns_[patterns_.size() - 1 - i].Text; }

private:
    struct Entry {
        char Text[kPatternCapacity];
    };
    std::vector<Entry> patterns_;  // in the order added
};

}  // namespace kivro
