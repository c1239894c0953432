// The REGEDIT4 settings reader with a fuzzed file. A file is only ever read and
// written back, so three things must hold whatever it holds: the text parsed and
// written unchanged is the same text byte for byte; a value set and read back
// after a save and a fresh parse is the value set; and setting one value leaves
// every other value of our key as it was.
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzTarget.h"
#include "settings/RegFile.h"

using namespace kivro;

namespace {

const char kKey[] = "HKEY_CURRENT_USER\\Software\\Ostraven\\KivroProxy";
// The names the program stores, and the unnamed default value.
const char* const kNames[] = {"IsRunning",   "TCPPort",     "BTComAuto", "USBComAuto",
                              "BTComPort",   "USBComPort",  "DoSync",    "SyncDir",
                              "MaxSyncSize", "SyncExclude", ""};

bool SameValue(const RegValue* a, const RegValue* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return a->type == b->type && a->data == b->data;
}

}  // namespace

KIVRO_FUZZ_TARGET(RegFile)(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const char* name = kNames[in.Byte() % std::size(kNames)];
    uint32_t type = in.Byte() % 6;
    if (type == 5) type = in.Number(4);
    const uint8_t* value = nullptr;
    size_t valueSize = in.Take(in.Number(2) % 700, value);
    std::string_view text(reinterpret_cast<const char*>(in.Data()), in.Size());

    RegFile file(kKey);
    file.Parse(text);
    KIVRO_FUZZ_REQUIRE(file.Text() == text);

    RegValue before[std::size(kNames)];
    bool present[std::size(kNames)] = {};
    for (size_t i = 0; i < std::size(kNames); ++i) {
        if (const RegValue* v = file.Find(kNames[i])) {
            before[i] = *v;
            present[i] = true;
        }
    }

    file.Set(name, type, value, valueSize);
    RegFile saved(kKey);
    saved.Parse(file.Text());
    RegValue wanted{type, std::vector<uint8_t>(value, value + valueSize)};
    KIVRO_FUZZ_REQUIRE(SameValue(saved.Find(name), &wanted));
    for (size_t i = 0; i < std::size(kNames); ++i) {
        if (std::strcmp(kNames[i], name) == 0) continue;
        KIVRO_FUZZ_REQUIRE(SameValue(saved.Find(kNames[i]), present[i] ? &before[i] : nullptr));
    }
    return 0;
}
