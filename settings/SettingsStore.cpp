// Typed settings access over a ValueStore (see SettingsStore.h). Numbers go
// through explicit little-endian bytes rather than the host's integer layout,
// so the stored form is the registry's on any machine.
#include "settings/SettingsStore.h"

#include <cstring>
#include <string>
#include <utility>

#include "settings/RegFile.h"
#include "text/Text.h"

namespace kivro {

namespace {

void PutLE(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLE(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

SettingsStore::SettingsStore(std::unique_ptr<ValueStore> values) : values_(std::move(values)) {}

bool SettingsStore::OpenKey(const char* keyPath) {
    return values_->Open(keyPath);
}

bool SettingsStore::QueryString(char* buffer, uint32_t size, const char* name) {
    uint32_t n = size;
    return values_->Query(name, buffer, n);
}

bool SettingsStore::SetString(const char* text, const char* name, size_t capacity) {
    std::string data(text, TextLength(text, capacity));
    return values_->Set(name, kRegSz, data.c_str(), static_cast<uint32_t>(data.size() + 1));
}

bool SettingsStore::QueryDword(uint32_t& value, const char* name) {
    // Shorter data replaces only the low-order bytes of what value holds.
    uint8_t bytes[4];
    PutLE(bytes, value);
    uint32_t n = sizeof bytes;
    if (!values_->Query(name, bytes, n)) return false;
    value = GetLE(bytes);
    return true;
}

bool SettingsStore::QueryDword(int32_t& value, const char* name) {
    uint32_t v = static_cast<uint32_t>(value);
    if (!QueryDword(v, name)) return false;
    value = static_cast<int32_t>(v);
    return true;
}

bool SettingsStore::SetDword(uint32_t value, const char* name) {
    uint8_t bytes[4];
    PutLE(bytes, value);
    return values_->Set(name, kRegDword, bytes, sizeof bytes);
}

bool SettingsStore::QueryBool(bool& flag, const char* name) {
    uint32_t v = 0;
    if (!QueryDword(v, name)) return false;
    flag = static_cast<int32_t>(v) > 0;
    return true;
}

bool SettingsStore::SetBool(bool flag, const char* name) {
    return SetDword(flag ? 1 : 0, name);
}

bool SettingsStore::QueryBinary(void* buffer, uint32_t size, const char* name, uint32_t* dataSize) {
    uint32_t n = size;
    bool ok = values_->Query(name, buffer, n);
    if (dataSize) *dataSize = n;
    return ok;
}

bool SettingsStore::SetBinary(const void* data, uint32_t size, const char* name) {
    return values_->Set(name, kRegBinary, data, size);
}

bool QueryWindowPlacement(SettingsStore& store, WindowPlacement& placement) {
    uint8_t b[WindowPlacement::kSize] = {};
    uint32_t n = 0;
    if (!store.QueryBinary(b, sizeof b, kWindowPosName, &n) || n != sizeof b) return false;
    placement.length = WindowPlacement::kSize;
    placement.flags = GetLE(b + 4);
    placement.showCmd = GetLE(b + 8);
    int32_t* fields[] = {&placement.minX, &placement.minY, &placement.maxX,  &placement.maxY,
                         &placement.left, &placement.top,  &placement.right, &placement.bottom};
    for (size_t i = 0; i < 8; ++i) *fields[i] = static_cast<int32_t>(GetLE(b + 12 + 4 * i));
    return true;
}

namespace {

// Each read goes into a zeroed scratch value and reaches the field only on
// success: a failed read may leave partial data behind, and shorter data then
// means exactly its own bytes, not a mix with what the field held before.
template <size_t N>
void LoadText(SettingsStore& store, char (&field)[N], const char* name, const char* fallback) {
    char scratch[N] = {};
    if (store.QueryString(scratch, N, name))
        std::memcpy(field, scratch, N);
    else
        TextCopy(field, fallback);
}

void LoadFlag(SettingsStore& store, bool& field, const char* name, bool fallback) {
    bool scratch = false;
    field = store.QueryBool(scratch, name) ? scratch : fallback;
}

void LoadNumber(SettingsStore& store, int32_t& field, const char* name, int32_t fallback,
                int32_t low, int32_t high) {
    int32_t scratch = 0;
    bool ok = store.QueryDword(scratch, name) && scratch >= low && scratch <= high;
    field = ok ? scratch : fallback;
}

}  // namespace

void LoadSettings(SettingsStore& store, Settings& settings) {
    const Settings d = DefaultSettings();
    LoadFlag(store, settings.IsRunning, "IsRunning", d.IsRunning);
    LoadFlag(store, settings.BTComAuto, "BTComAuto", d.BTComAuto);
    LoadText(store, settings.BTComPort, "BTComPort", d.BTComPort);
    LoadFlag(store, settings.USBComAuto, "USBComAuto", d.USBComAuto);
    LoadText(store, settings.USBComPort, "USBComPort", d.USBComPort);
    LoadNumber(store, settings.TCPPort, "TCPPort", d.TCPPort, 0, 65535);
    LoadFlag(store, settings.DoSync, "DoSync", d.DoSync);
    LoadText(store, settings.SyncDir, "SyncDir", d.SyncDir);
    LoadNumber(store, settings.MaxSyncSize, "MaxSyncSize", d.MaxSyncSize, 0, INT32_MAX);
    LoadText(store, settings.SyncExclude, "SyncExclude", d.SyncExclude);
}

bool SaveExitState(SettingsStore& store, bool running, const WindowPlacement* placement) {
    if (!store.SetBool(running, "IsRunning")) return false;
    if (!placement) return true;
    uint8_t b[WindowPlacement::kSize];
    PutLE(b, WindowPlacement::kSize);
    PutLE(b + 4, placement->flags);
    PutLE(b + 8, placement->showCmd);
    const int32_t fields[] = {placement->minX,  placement->minY,  placement->maxX,
                              placement->maxY,  placement->left,  placement->top,
                              placement->right, placement->bottom};
    for (size_t i = 0; i < 8; ++i) PutLE(b + 12 + 4 * i, static_cast<uint32_t>(fields[i]));
    return store.SetBinary(b, sizeof b, kWindowPosName);
}

std::string DefaultSettingsFileText(const Settings& s, const char* keyPath) {
    const char* const eol = "\n";
    std::string text = "REGEDIT4\n\n";
    text += "; KivroProxy settings. Numbers are hexadecimal (dword:0000170c is 5900).\n";
    text += std::string("[HKEY_CURRENT_USER\\") + keyPath + "]\n";
    auto number = [&](const char* comment, const char* name, uint32_t v) {
        uint8_t b[4];
        PutLE(b, v);
        text += std::string("; ") + comment + eol;
        text += RegFile::FormatValue(name, kRegDword, b, 4) + eol;
    };
    auto textValue = [&](const char* comment, const char* name, const char* value, size_t cap) {
        std::string data(value, TextLength(value, cap));
        data.push_back('\0');
        text += std::string("; ") + comment + eol;
        text += RegFile::FormatValue(name, kRegSz, reinterpret_cast<const uint8_t*>(data.data()),
                                     data.size()) +
                eol;
    };
    number("1 when the proxy was running as the program last ended (not read on Linux)",
           "IsRunning", s.IsRunning);
    number("1: find the Bluetooth serial port by itself; 0: use BTComPort", "BTComAuto",
           s.BTComAuto);
    textValue("Bluetooth serial port when BTComAuto is 0 (a name without \"/\" is in /dev)",
              "BTComPort", s.BTComPort, sizeof s.BTComPort);
    number("1: find the USB serial port by itself; 0: use USBComPort", "USBComAuto", s.USBComAuto);
    textValue("USB serial port when USBComAuto is 0 (a name without \"/\" is in /dev)",
              "USBComPort", s.USBComPort, sizeof s.USBComPort);
    number("TCP port on which VNC viewers connect (0 to 65535)", "TCPPort",
           static_cast<uint32_t>(s.TCPPort));
    number("1: keep SyncDir in step with the phone", "DoSync", s.DoSync);
    textValue("folder whose new and changed files are sent to the phone", "SyncDir", s.SyncDir,
              sizeof s.SyncDir);
    number("largest file sent to the phone, in bytes", "MaxSyncSize",
           static_cast<uint32_t>(s.MaxSyncSize));
    textValue("file name patterns never sent, separated by \";\" (wildcards * and ?)",
              "SyncExclude", s.SyncExclude, sizeof s.SyncExclude);
    return text;
}

}  // namespace kivro
