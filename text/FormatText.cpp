// Placeholder and escape expansion (see FormatText.h). The format is first
// copied into the destination and then rewritten there, one placeholder or
// escape at a time, so formatting in place (format and destination one array)
// needs no second buffer and no allocation. Each field is built in a small local
// array before it is inserted: a "%s" argument that points into the destination
// itself is read before the destination moves. Characters produced by an escape
// and inserted fields are both skipped by the scan, so "\x25" or "\%" give a
// literal percent sign rather than a placeholder; no message text depends on the
// other reading.
#include "text/FormatText.h"

#include <cstring>

#include "text/Text.h"

namespace kivro {
namespace {

constexpr size_t kMaxField = 255;
constexpr uint32_t kMaxWidth = 256;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

size_t FormatHex(uint64_t value, char* dest) {
    static const char kDigits[] = "0123456789ABCDEF";
    char reversed[16];
    size_t n = 0;
    do {
        reversed[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i) dest[i] = reversed[n - 1 - i];
    return n;
}

// The destination while it is rewritten: text in [0, len), NUL from len to the
// capacity, so the array always reads as the text produced so far.
class Expansion {
public:
    Expansion(char* dest, size_t capacity, std::initializer_list<FormatArg> args)
        : d_(dest), cap_(capacity), args_(args) {}

    bool Run(const char* format, size_t formatCapacity);

private:
    // Each returns false on failure, leaving the text as the failure rules say.
    bool Escape();
    bool Placeholder();

    void Remove(size_t at, size_t count) {
        std::memmove(d_ + at, d_ + at + count, len_ - at - count);
        std::memset(d_ + len_ - count, 0, count);
        len_ -= count;
    }

    // Inserts n characters at `at`, cutting what goes beyond the capacity.
    // False when something was cut.
    bool Insert(size_t at, const char* s, size_t n) {
        size_t wanted = len_ + n;
        if (at + n < cap_) {
            size_t tail = len_ - at;
            if (tail > cap_ - at - n) tail = cap_ - at - n;
            std::memmove(d_ + at + n, d_ + at, tail);
        }
        std::memcpy(d_ + at, s, n < cap_ - at ? n : cap_ - at);
        len_ = wanted < cap_ ? wanted : cap_;
        return wanted <= cap_;
    }

    const FormatArg& NextArg() {
        static const FormatArg kMissing{uint32_t{0}};
        if (next_ >= args_.size()) return kMissing;
        return args_.begin()[next_++];
    }

    char* d_;
    size_t cap_;
    std::initializer_list<FormatArg> args_;
    size_t next_ = 0;
    size_t len_ = 0;
    size_t pos_ = 0;
};

bool Expansion::Run(const char* format, size_t formatCapacity) {
    if (cap_ == 0) return true;
    TextCopy(d_, cap_, format, formatCapacity);
    len_ = TextLength(d_, cap_);
    std::memset(d_ + len_, 0, cap_ - len_);
    while (pos_ < len_) {
        char c = d_[pos_];
        if (c == '\\') {
            if (!Escape()) return false;
        } else if (c == '%') {
            if (!Placeholder()) return false;
        } else {
            ++pos_;
        }
    }
    return true;
}

bool Expansion::Escape() {
    if (pos_ + 1 >= len_) return false;
    char kind = Lower(d_[pos_ + 1]);
    char produced[2];
    size_t producedLength = 1;
    size_t consumed = 2;
    switch (kind) {
        case 'n':
            produced[0] = '\r';
            produced[1] = '\n';
            producedLength = 2;
            break;
        case 't': produced[0] = '\t'; break;
        case 'v': produced[0] = '\v'; break;
        case 'f': produced[0] = '\f'; break;
        case 'x': {
            uint32_t value = 0;
            size_t digits = 0;
            for (size_t p = pos_ + 2; p < len_ && HexDigit(d_[p]) >= 0; ++p, ++digits) {
                // Saturating: any number of digits may follow, only <= 255 is valid.
                if (value <= 0xFFFF) value = value * 16 + static_cast<uint32_t>(HexDigit(d_[p]));
            }
            consumed += digits;
            if (digits == 0 || value > 255) {
                Remove(pos_, consumed);
                return false;
            }
            produced[0] = static_cast<char>(value);
            break;
        }
        default: produced[0] = d_[pos_ + 1]; break;  // "\\" included
    }
    Remove(pos_, consumed);
    Insert(pos_, produced, producedLength);  // never longer than what it replaces
    pos_ += producedLength;
    return true;
}

bool Expansion::Placeholder() {
    size_t p = pos_ + 1;
    if (p >= len_) return false;
    if (d_[p] == '%') {
        Remove(pos_, 1);
        ++pos_;
        return true;
    }
    bool left = false;
    if (d_[p] == '-') {
        left = true;
        if (++p >= len_) return false;
    }
    char fill = ' ';
    if (d_[p] == '\'') {
        if (++p >= len_) return false;
        fill = d_[p];
        if (++p >= len_) return false;
    }
    uint32_t width = 0;
    if (d_[p] == '*') {
        width = static_cast<uint32_t>(NextArg().number);
        ++p;
    } else {
        for (; p < len_ && d_[p] >= '0' && d_[p] <= '9'; ++p) {
            if (width <= kMaxWidth) width = width * 10 + static_cast<uint32_t>(d_[p] - '0');
        }
    }
    if (p >= len_ || width > kMaxWidth) return false;
    char type = Lower(d_[p]);
    Remove(pos_, p + 1 - pos_);

    char value[kMaxField];
    size_t valueLength = 0;
    const FormatArg& arg = NextArg();
    switch (type) {
        case 'c': valueLength = FormatUnsigned(static_cast<uint32_t>(arg.number), value, 24); break;
        case 'i':
            valueLength = FormatDecimal(static_cast<int32_t>(static_cast<uint32_t>(arg.number)),
                                        value, 24);
            break;
        case 'h': valueLength = FormatHex(static_cast<uint32_t>(arg.number), value); break;
        case 'l': valueLength = FormatDecimal(static_cast<int64_t>(arg.number), value, 24); break;
        case 'u': valueLength = FormatUnsigned(arg.number, value, 24); break;
        case 'x': valueLength = FormatHex(arg.number, value); break;
        case 's':
            if (arg.text != nullptr) {
                valueLength = TextLength(arg.text, kMaxField);
                std::memcpy(value, arg.text, valueLength);
            }
            break;
        default: return false;
    }

    size_t fieldWidth = width > kMaxField ? kMaxField : width;
    size_t fillLength = fieldWidth > valueLength ? fieldWidth - valueLength : 0;
    char field[kMaxField];
    char* out = field;
    if (!left) out += fillLength;
    std::memcpy(out, value, valueLength);
    std::memset(left ? field + valueLength : field, fill, fillLength);
    size_t fieldLength = valueLength + fillLength;

    if (!Insert(pos_, field, fieldLength)) return false;
    pos_ += fieldLength;
    return true;
}

}  // namespace

bool FormatText(const char* format, size_t formatCapacity, char* dest, size_t destCapacity,
                std::initializer_list<FormatArg> args) {
    return Expansion(dest, destCapacity, args).Run(format, formatCapacity);
}

}  // namespace kivro
