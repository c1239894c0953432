// A REGEDIT4 file held as its lines, so that a change rewrites only the lines it
// changes: comments, other keys, lines we cannot read and the file's line ends
// all survive a save byte for byte. The alternative, a parsed model written out
// afresh, would lose whatever it did not understand. Only the values of one key
// (the one given at construction) are ours to read and change.
//
// Lines: the "REGEDIT4" header, "[key]" headers, ";" comments, blank lines and
// values: "Name"="text" (escapes \\ and \"; data = the bytes plus a NUL),
// "Name"=dword:XXXXXXXX, "Name"=hex:xx,... (continued after a trailing "\"),
// "Name"=hex(N):xx,... and "Name"=- (no value). CRLF or LF. Anything else is
// kept verbatim and its value counts as missing. The last of equal names wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivro {

struct RegValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class RegFile {
  public:
    // keyName is the full key as the file names it, e.g.
    // "HKEY_CURRENT_USER\Software\Ostraven\KivroProxy"; compared without case.
    explicit RegFile(std::string keyName);

    // Replaces the contents with the parsed text. Never fails: lines it cannot
    // read are kept as they stand.
    void Parse(std::string_view text);

    // The value in our key, or nullptr when missing or removed ("Name"=-).
    const RegValue* Find(std::string_view name) const;

    // Sets the value in our key: its last line is rewritten in place, or a new
    // line goes after our key's last value (the key is added when missing).
    void Set(std::string_view name, uint32_t type, const uint8_t* data, size_t size);

    // The whole file as it is to be saved.
    std::string Text() const;

    // Lines that were kept because they could not be read (continued lines
    // count once).
    size_t UnreadLines() const;

    // One value as regedit writes it, without the final line end: "Name"="text",
    // "Name"=dword:0000170c, "Name"=hex:2c,00,... wrapped with "\" + eol + "  ".
    static std::string FormatValue(std::string_view name, uint32_t type, const uint8_t* data,
                                   size_t size, std::string_view eol = "\n");

  private:
    enum class Kind { Blank, Comment, Header, Key, Value, Removed, Unread };
    struct Line {
        std::string raw;  // as in the file, line ends included
        Kind kind = Kind::Unread;
        bool ours = false;    // a value line inside our key
        bool ourKey = false;  // a key line naming our key
        std::string name;
        RegValue value;
    };

    void ParseLines(std::string_view text);
    std::string_view Eol() const;

    std::string keyName_;
    std::vector<Line> lines_;
};

}  // namespace kivro
