// Exclude patterns and the wildcard match (see ExcludeList.h). The match is the
// iterative form with one remembered star: the last star seen is re-tried one
// character further on each mismatch, which gives the same answers as trying
// every position recursively without its exponential worst case on patterns
// such as "*a*a*a*a*b".
#include "sync/ExcludeList.h"

#include "text/Text.h"

namespace kivro {

bool WildcardMatch(const char* pattern, const char* name, size_t patternCapacity,
                   size_t nameCapacity) {
    const size_t plen = TextLength(pattern, patternCapacity);
    const size_t nlen = TextLength(name, nameCapacity);
    // The last star is only ever tried against a character of the name, and the
    // empty rest of the pattern then needs the name to have ended: no match.
    if (plen > 0 && pattern[plen - 1] == '*') return false;
    size_t p = 0, n = 0;
    size_t starP = SIZE_MAX, starN = 0;
    while (n < nlen) {
        if (p < plen && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < plen && (pattern[p] == '?' || UpperChar(pattern[p]) == UpperChar(name[n]))) {
            ++p;
            ++n;
        } else if (starP != SIZE_MAX) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    // The name has ended; a star reached now has no character to try, and the
    // pattern does not end in one, so only an ended pattern matches.
    return p == plen;
}

void ExcludeList::Add(const char* list, size_t capacity) {
    const size_t len = TextLength(list, capacity);
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    size_t i = 0;
    for (;;) {
        while (i < len && blank(list[i])) ++i;
        if (i >= len) return;
        const size_t start = i;
        while (i < len && list[i] != ';') ++i;
        size_t end = i;
        while (end > start && blank(list[end - 1])) --end;
        Entry& entry = patterns_.emplace_back();
        TextCopy(entry.Text, sizeof entry.Text, list + start, end - start);
        if (i < len) ++i;  // the ";"
    }
}

bool ExcludeList::Matches(const char* name, size_t nameCapacity) const {
    for (const Entry& entry : patterns_) {
        if (WildcardMatch(entry.Text, name, sizeof entry.Text, nameCapacity)) return true;
    }
    return false;
}

}  // namespace kivro
