// REGEDIT4 lines (see RegFile.h). Parsing is line by line and forgiving: a line
// it cannot read becomes an Unread line that is written back unchanged, so a
// damaged or hand-edited file never loses anything when one value is saved.
#include "settings/RegFile.h"

#include <cstdio>
#include <utility>

namespace kivro {

namespace {

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// Key and value names compare as the registry compares them (without case);
// ASCII folding is enough for the names this program uses.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

// 1 to maxDigits hex digits at the front of s; s is advanced past them.
bool TakeHex(std::string_view& s, size_t maxDigits, uint32_t& value) {
    size_t n = 0;
    value = 0;
    while (n < s.size() && n < maxDigits && HexDigit(s[n]) >= 0)
        value = value << 4 | static_cast<uint32_t>(HexDigit(s[n++]));
    if (n == 0 || (n < s.size() && HexDigit(s[n]) >= 0)) return false;
    s.remove_prefix(n);
    return true;
}

// A quoted text at the front of s (s starts after the opening quote). regedit
// escapes only \\ and \"; any other backslash is taken literally, as regedit
// itself reads it. s is advanced past the closing quote.
bool TakeQuoted(std::string_view& s, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') {
            s.remove_prefix(i);
            return true;
        }
        if (c == '\\' && i < s.size() && (s[i] == '\\' || s[i] == '"')) c = s[i++];
        out.push_back(c);
    }
    return false;
}

struct PhysicalLine {
    std::string_view content;  // without its line end
    std::string_view whole;    // with it
};

std::vector<PhysicalLine> SplitLines(std::string_view text) {
    std::vector<PhysicalLine> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        std::string_view whole = text.substr(start, end - start);
        std::string_view content = whole;
        if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        lines.push_back({content, whole});
        start = end;
    }
    return lines;
}

// The bytes of a hex value starting on lines[first] at rest, over continuation
// lines. Returns the number of physical lines used, 0 when they cannot be read
// (then *failedAt is the first line not belonging to the failed record).
size_t TakeHexBytes(const std::vector<PhysicalLine>& lines, size_t first, std::string_view rest,
                    std::vector<uint8_t>& bytes, size_t* failedAt) {
    size_t line = first;
    std::string_view s = rest;
    for (;;) {
        s = TrimLeft(s);
        if (s.empty()) {
            return line - first + 1;
        }
        if (s.front() == '\\' && TrimRight(s.substr(1)).empty()) {
            if (line + 1 >= lines.size()) {  // cut off after a continuation
                *failedAt = lines.size();
                return 0;
            }
            s = lines[++line].content;
            if (TrimLeft(s).empty()) {  // a continuation must carry bytes
                *failedAt = line;
                return 0;
            }
            continue;
        }
        uint32_t b;
        if (!TakeHex(s, 2, b)) {
            *failedAt = line == first ? first + 1 : line;
            return 0;
        }
        bytes.push_back(static_cast<uint8_t>(b));
        s = TrimLeft(s);
        if (!s.empty() && s.front() == ',') {
            s.remove_prefix(1);  // a trailing comma is tolerated
        } else if (!s.empty() && s.front() != '\\') {
            *failedAt = line == first ? first + 1 : line;
            return 0;
        }
    }
}

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
}

// regedit's "Name"="text" form holds a text that ends in its one NUL and has
// no line breaks; anything else must go out as hex to survive the round trip.
bool WritableAsText(const uint8_t* data, size_t size) {
    if (size == 0 || data[size - 1] != 0) return false;
    for (size_t i = 0; i + 1 < size; ++i)
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
    return true;
}

}  // namespace

RegFile::RegFile(std::string keyName) : keyName_(std::move(keyName)) {}

void RegFile::Parse(std::string_view text) {
    lines_.clear();
    ParseLines(text);
}

void RegFile::ParseLines(std::string_view text) {
    const std::vector<PhysicalLine> physical = SplitLines(text);
    bool inOurKey = false;
    size_t i = 0;
    while (i < physical.size()) {
        std::string_view content = physical[i].content;
        if (i == 0 && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
        content = TrimRight(TrimLeft(content));

        Line line;
        line.raw = std::string(physical[i].whole);
        size_t used = 1;
        if (content.empty()) {
            line.kind = Kind::Blank;
        } else if (content.front() == ';') {
            line.kind = Kind::Comment;
        } else if (content == "REGEDIT4" || content == "Windows Registry Editor Version 5.00") {
            line.kind = Kind::Header;
        } else if (content.front() == '[' && content.back() == ']') {
            line.kind = Kind::Key;
            inOurKey = SameName(content.substr(1, content.size() - 2), keyName_);
            line.ourKey = inOurKey;
        } else if (content.front() == '"' || content.front() == '@') {
            std::string_view s = content;
            bool ok = true;
            if (s.front() == '@') {
                s.remove_prefix(1);
            } else {
                s.remove_prefix(1);
                ok = TakeQuoted(s, line.name);
            }
            s = TrimLeft(s);
            ok = ok && !s.empty() && s.front() == '=';
            if (ok) s = TrimLeft(s.substr(1));
            if (!ok) {
            } else if (s == "-") {
                line.kind = Kind::Removed;
            } else if (!s.empty() && s.front() == '"') {
                s.remove_prefix(1);
                std::string text;
                if (TakeQuoted(s, text) && s.empty()) {
                    line.kind = Kind::Value;
                    line.value.type = 1;
                    line.value.data.assign(text.begin(), text.end());
                    line.value.data.push_back(0);
                }
            } else if (StartsWithNoCase(s, "dword:")) {
                s.remove_prefix(6);
                uint32_t v;
                if (TakeHex(s, 8, v) && s.empty()) {
                    line.kind = Kind::Value;
                    line.value.type = 4;
                    line.value.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                       static_cast<uint8_t>(v >> 16),
                                       static_cast<uint8_t>(v >> 24)};
                }
            } else if (StartsWithNoCase(s, "hex")) {
                s.remove_prefix(3);
                uint32_t type = 3;
                bool typeOk = true;
                if (!s.empty() && s.front() == '(') {
                    s.remove_prefix(1);
                    typeOk = TakeHex(s, 8, type) && !s.empty() && s.front() == ')';
                    if (typeOk) s.remove_prefix(1);
                }
                if (typeOk && !s.empty() && s.front() == ':') {
                    std::string_view rest = s.substr(1);
                    size_t failedAt = 0;
                    size_t n = TakeHexBytes(physical, i, rest, line.value.data, &failedAt);
                    if (n > 0) {
                        line.kind = Kind::Value;
                        line.value.type = type;
                        used = n;
                    } else {
                        // The record's lines are kept as one unread line; the
                        // line that broke it is read again on its own.
                        used = failedAt - i;
                        line.value.data.clear();
                    }
                }
            }
            line.ours = inOurKey && line.kind != Kind::Unread;
        }
        for (size_t k = 1; k < used; ++k) line.raw += physical[i + k].whole;
        lines_.push_back(std::move(line));
        i += used;
    }
}

const RegValue* RegFile::Find(std::string_view name) const {
    const Line* found = nullptr;
    for (const Line& line : lines_)
        if (line.ours && SameName(line.name, name)) found = &line;
    return found && found->kind == Kind::Value ? &found->value : nullptr;
}

std::string_view RegFile::Eol() const {
    for (const Line& line : lines_) {
        if (line.raw.size() >= 2 && line.raw.compare(line.raw.size() - 2, 2, "\r\n") == 0)
            return "\r\n";
        if (!line.raw.empty() && line.raw.back() == '\n') return "\n";
    }
    return "\n";
}

void RegFile::Set(std::string_view name, uint32_t type, const uint8_t* data, size_t size) {
    const std::string_view eol = Eol();
    Line fresh;
    fresh.kind = Kind::Value;
    fresh.ours = true;
    fresh.name = std::string(name);
    fresh.value.type = type;
    fresh.value.data.assign(data, data + size);

    // Rewrite the line that wins today, keeping its own line end.
    for (size_t i = lines_.size(); i-- > 0;) {
        Line& line = lines_[i];
        if (!line.ours || !SameName(line.name, name)) continue;
        // The file's spelling of the name stays, as the registry keeps it.
        fresh.name = line.name;
        fresh.raw = FormatValue(line.name, type, data, size, eol);
        const std::string& raw = line.raw;
        if (raw.size() >= 2 && raw.compare(raw.size() - 2, 2, "\r\n") == 0)
            fresh.raw += "\r\n";
        else if (!raw.empty() && raw.back() == '\n')
            fresh.raw += "\n";
        line = std::move(fresh);
        return;
    }
    fresh.raw = FormatValue(name, type, data, size, eol) + std::string(eol);

    // A new value goes after the last value of our (last) key; lines we could
    // not read inside our key count as its values.
    size_t insertAt = 0;
    bool haveKey = false, inOurKey = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Kind::Key) {
            inOurKey = line.ourKey;
            if (inOurKey) {
                haveKey = true;
                insertAt = i + 1;
            }
        } else if (inOurKey && (line.ours || line.kind == Kind::Unread)) {
            insertAt = i + 1;
        }
    }
    auto endLine = [&](size_t before) {
        if (before == 0) return;
        std::string& raw = lines_[before - 1].raw;
        // A last line cut off after its CR lacks only the LF: a whole line end
        // after the CR would leave a CR in the line and lose its value.
        if (!raw.empty() && raw.back() == '\r')
            raw += '\n';
        else if (raw.empty() || raw.back() != '\n')
            raw += eol;
    };
    if (!haveKey) {
        endLine(lines_.size());
        auto add = [&](Kind kind, std::string raw) {
            Line l;
            l.kind = kind;
            l.raw = std::move(raw);
            lines_.push_back(std::move(l));
        };
        if (lines_.empty()) add(Kind::Header, "REGEDIT4" + std::string(eol));
        if (lines_.back().kind != Kind::Blank) add(Kind::Blank, std::string(eol));
        add(Kind::Key, "[" + keyName_ + "]" + std::string(eol));
        lines_.push_back(std::move(fresh));
        return;
    }
    endLine(insertAt);
    lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(insertAt), std::move(fresh));
}

std::string RegFile::Text() const {
    std::string text;
    for (const Line& line : lines_) text += line.raw;
    return text;
}

size_t RegFile::UnreadLines() const {
    size_t n = 0;
    for (const Line& line : lines_) n += line.kind == Kind::Unread;
    return n;
}

std::string RegFile::FormatValue(std::string_view name, uint32_t type, const uint8_t* data,
                                 size_t size, std::string_view eol) {
    std::string out;
    if (name.empty()) {
        out = "@=";
    } else {
        out = "\"";
        AppendEscaped(out, name);
        out += "\"=";
    }
    char buf[24];
    if (type == 1 && WritableAsText(data, size)) {
        out += '"';
        AppendEscaped(out, std::string_view(reinterpret_cast<const char*>(data), size - 1));
        out += '"';
        return out;
    }
    if (type == 4 && size == 4) {
        uint32_t v = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        return out + buf;
    }
    if (type == 3) {
        out += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        out += buf;
    }
    // regedit's wrapping: after a byte's comma, break once the line reaches 77
    // columns; continuation lines start with two blanks.
    size_t column = out.size();
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        out += buf;
        if (i + 1 == size) break;
        out += ',';
        column += 3;
        if (column >= 77) {
            out += '\\';
            out += eol;
            out += "  ";
            column = 2;
        }
    }
    return out;
}

}  // namespace kivro
