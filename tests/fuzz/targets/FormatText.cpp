// FormatText with fuzzed formats, capacities and arguments. The format and the
// destination are heap blocks of exactly their capacity (no terminator unless
// the input brings one), so the sanitizers see any step past either. Arguments
// are numbers or texts; a text may point into the destination itself, the case
// the expansion copes with by building each field before inserting it.
#include <algorithm>
#include <cstring>
#include <memory>

#include "FuzzTarget.h"
#include "text/FormatText.h"
#include "text/Text.h"

using namespace kivro;

namespace {

bool Expand(const char* format, size_t formatCapacity, char* dest, size_t destCapacity,
            const FormatArg* a, size_t count) {
    switch (count) {
        case 0:
            return FormatText(format, formatCapacity, dest, destCapacity);
        case 1:
            return FormatText(format, formatCapacity, dest, destCapacity, {a[0]});
        case 2:
            return FormatText(format, formatCapacity, dest, destCapacity, {a[0], a[1]});
        case 3:
            return FormatText(format, formatCapacity, dest, destCapacity, {a[0], a[1], a[2]});
        default:
            return FormatText(format, formatCapacity, dest, destCapacity, {a[0], a[1], a[2], a[3]});
    }
}

}  // namespace

KIVRO_FUZZ_TARGET(FormatText)(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    size_t destCapacity = in.Byte();
    uint8_t mode = in.Byte();
    bool inPlace = (mode & 0x80) != 0;
    size_t count = (mode >> 4) & 7;
    if (count > 4) count = 4;

    // Texts an argument may name: fixed ones, and one cut from the input.
    static const char kShort[] = "COM3";
    static const char kEmpty[] = "";
    char long_[300];
    std::memset(long_, 'L', sizeof long_ - 1);
    long_[sizeof long_ - 1] = '\0';
    char fromInput[64] = {};
    const uint8_t* bytes = nullptr;
    size_t taken = in.Take(in.Byte() % sizeof fromInput, bytes);
    if (taken > 0) std::memcpy(fromInput, bytes, taken);
    fromInput[sizeof fromInput - 1] = '\0';

    // The rest is the format; its capacity is what is left, or less.
    uint8_t cut = in.Byte();
    size_t formatCapacity = in.Size();
    if (cut != 0 && cut < formatCapacity) formatCapacity = cut;
    if (inPlace) destCapacity = std::max(destCapacity, formatCapacity);

    auto dest = std::make_unique<char[]>(destCapacity == 0 ? 1 : destCapacity);
    std::unique_ptr<char[]> formatCopy;
    const char* format;
    if (inPlace) {
        std::memcpy(dest.get(), in.Data(), formatCapacity);
        // In place the format is the destination: what follows it is its NUL fill.
        std::memset(dest.get() + formatCapacity, 0, destCapacity - formatCapacity);
        format = dest.get();
        formatCapacity = destCapacity;
    } else {
        formatCopy = std::make_unique<char[]>(formatCapacity == 0 ? 1 : formatCapacity);
        std::memcpy(formatCopy.get(), in.Data(), formatCapacity);
        format = formatCopy.get();
        std::memset(dest.get(), '#', destCapacity);
    }

    FormatArg args[4] = {uint32_t{0}, uint32_t{0}, uint32_t{0}, uint32_t{0}};
    for (size_t i = 0; i < count; ++i) {
        uint8_t kind = static_cast<uint8_t>(mode >> (i % 4)) & 3;
        switch ((kind + i) % 6) {
            case 0:
                args[i] = FormatArg(uint64_t{0xFFFFFFFFFFFFFFFFull} >> (mode & 63));
                break;
            case 1:
                args[i] = FormatArg(static_cast<int32_t>(-1 - static_cast<int32_t>(mode)));
                break;
            case 2:
                args[i] = FormatArg(i % 2 ? kShort : kEmpty);
                break;
            case 3:
                args[i] = FormatArg(long_);
                break;
            case 4:
                args[i] = FormatArg(fromInput);
                break;
            default: {
                // A text inside the destination, which must end inside it.
                if (destCapacity > 0) {
                    dest[destCapacity - 1] = '\0';
                    args[i] = FormatArg(dest.get() + (mode % destCapacity));
                }
                break;
            }
        }
    }

    bool plain = std::none_of(format, format + TextLength(format, formatCapacity),
                              [](char c) { return c == '%' || c == '\\'; });
    size_t formatLength = TextLength(format, formatCapacity);
    bool ok = Expand(format, formatCapacity, dest.get(), destCapacity, args, count);

    // A format without placeholders or escapes is copied as it stands.
    if (plain && !inPlace && destCapacity > formatLength) {
        KIVRO_FUZZ_REQUIRE(ok && std::memcmp(dest.get(), format, formatLength) == 0 &&
                           dest[formatLength] == '\0');
    }
    return 0;
}
