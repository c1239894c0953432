// The serial link's framing, shared by the engine and the phone simulator: a
// type byte, a big-endian 16-bit length and up to 4096 payload bytes; no marker
// or checksum, the PC sends one frame and reads exactly one in reply.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivro {

enum LinkType : uint8_t {
    LINK_DATA = 0,
    LINK_CLIENT_CONNECTED = 1,
    LINK_CLIENT_DISCONNECTED = 2,
    LINK_SYNC_CONFIG = 4,
    LINK_FILE_START = 5,
    LINK_FILE_DATA = 6,
    LINK_FILE_END = 7,
    LINK_USB_DISCONNECT = 8,
    LINK_CLOSE_CLIENT = 9,
};

constexpr size_t kLinkHeaderSize = 3;
constexpr size_t kLinkMaxPayload = 4096;
constexpr size_t kLinkFrameSize = kLinkHeaderSize + kLinkMaxPayload;  // 4099

// The eight bytes a phone's server sends on the USB port when it starts.
inline constexpr uint8_t kUsbHello[8] = {0x0A, 0x16, 0xB1, 0xFC, 0xCE, 0x05, 0x53, 0xC5};

// True for the types the PC accepts from the phone.
constexpr bool IsPhoneLinkType(uint8_t type) {
    return type == LINK_DATA || (type >= LINK_SYNC_CONFIG && type <= LINK_CLOSE_CLIENT);
}

// Stores the low `count` bytes of value at buffer[position], most significant first.
inline void PutBigEndian(uint8_t* buffer, size_t position, size_t count, uint32_t value) {
    for (size_t i = 0; i < count; ++i)
        buffer[position + count - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t GetBigEndian(const uint8_t* buffer, size_t position, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = (value << 8) | buffer[position + i];
    return value;
}

}  // namespace kivro
