// The exclude list with a fuzzed SyncExclude text and a fuzzed file name. The
// wildcard match is checked against a plain recursive matcher (memoised, so a
// long pattern stays quick) that states the rule directly: a star tries every
// position where the name still has a character. Texts are heap blocks of
// exactly their capacity, unterminated when the input says so.
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzTarget.h"
#include "sync/ExcludeList.h"
#include "text/Text.h"

using namespace kivro;

namespace {

class Reference {
  public:
    Reference(const char* pattern, size_t plen, const char* name, size_t nlen)
        : p_(pattern), n_(name), plen_(plen), nlen_(nlen), memo_((plen + 1) * (nlen + 1), -1) {}

    bool Match(size_t p, size_t n) {
        signed char& m = memo_[p * (nlen_ + 1) + n];
        if (m < 0) m = Compute(p, n) ? 1 : 0;
        return m == 1;
    }

  private:
    bool Compute(size_t p, size_t n) {
        if (p == plen_) return n == nlen_;
        if (p_[p] == '*') {
            for (size_t k = n; k < nlen_; ++k)
                if (Match(p + 1, k)) return true;
            return false;
        }
        if (n == nlen_) return false;
        if (p_[p] != '?' && UpperChar(p_[p]) != UpperChar(n_[n])) return false;
        return Match(p + 1, n + 1);
    }

    const char* p_;
    const char* n_;
    size_t plen_, nlen_;
    std::vector<signed char> memo_;
};

// A copy of bytes in a block of exactly capacity characters; terminated only
// when the bytes are shorter.
std::unique_ptr<char[]> Block(const uint8_t* bytes, size_t count, size_t capacity) {
    auto block = std::make_unique<char[]>(capacity == 0 ? 1 : capacity);
    std::memset(block.get(), 0, capacity);
    std::memcpy(block.get(), bytes, count < capacity ? count : capacity);
    return block;
}

}  // namespace

KIVRO_FUZZ_TARGET(ExcludeList)(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t shape = in.Byte();
    const uint8_t* nameBytes = nullptr;
    size_t nameLength = in.Take(in.Byte() % 300, nameBytes);
    // The name's capacity: its length (unterminated), the listed-name capacity, or less.
    size_t nameCapacity = shape & 1 ? nameLength : kPatternCapacity;
    if (shape & 2) nameCapacity = nameCapacity / 2;
    auto name = Block(nameBytes, nameLength, nameCapacity);

    size_t listCapacity = shape & 4 ? in.Size() : in.Size() + 1;
    auto list = Block(in.Data(), in.Size(), listCapacity);

    ExcludeList excludes;
    excludes.Add(list.get(), listCapacity);
    bool any = false;
    size_t nlen = TextLength(name.get(), nameCapacity);
    for (size_t i = 0; i < excludes.Count(); ++i) {
        const char* pattern = excludes.Pattern(i);
        size_t plen = TextLength(pattern, kPatternCapacity);
        bool match = WildcardMatch(pattern, name.get(), kPatternCapacity, nameCapacity);
        KIVRO_FUZZ_REQUIRE(match == Reference(pattern, plen, name.get(), nlen).Match(0, 0));
        // A pattern is trimmed (a cut one may end anywhere) and never holds the separator.
        KIVRO_FUZZ_REQUIRE(plen == 0 || static_cast<unsigned char>(pattern[0]) > 32);
        KIVRO_FUZZ_REQUIRE(plen == 0 || plen >= kPatternCapacity - 1 ||
                           static_cast<unsigned char>(pattern[plen - 1]) > 32);
        KIVRO_FUZZ_REQUIRE(std::memchr(pattern, ';', plen) == nullptr);
        any = any || match;
    }
    KIVRO_FUZZ_REQUIRE(excludes.Matches(name.get(), nameCapacity) == any);

    // The whole list text taken as one pattern, at its own capacity.
    size_t plen = TextLength(list.get(), listCapacity);
    bool whole = WildcardMatch(list.get(), name.get(), listCapacity, nameCapacity);
    KIVRO_FUZZ_REQUIRE(whole == Reference(list.get(), plen, name.get(), nlen).Match(0, 0));
    return 0;
}
