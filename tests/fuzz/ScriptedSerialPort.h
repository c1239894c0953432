// The phone as a script: a serial port backend whose reads return the bytes of
// a script and whose writes are taken whole. It replaces the system backend in
// the executables that link it (the engine itself is unchanged), so the engine's
// handling of phone replies runs in-process, without a pty and without waiting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivro::fuzz {

// The one port name the scripted backend opens; any other is not found.
inline constexpr char kScriptedPortName[] = "scripted-phone";

// What the next reads return, in order; a read never returns more than
// readLimit bytes (0: no limit). Once the script is used up a read fails as
// the read of an unplugged port does. The bytes must outlive the reads.
void SetPhoneScript(const uint8_t* data, size_t size, uint32_t readLimit = 0);
size_t PhoneScriptLeft();
// Bytes written since the script was set.
size_t PhoneBytesWritten();

}  // namespace kivro::fuzz
