// The plain storage primitives the settings stores stand on, and the defaults
// that name things of this system, as plain values. The stores themselves (the
// registry key on Windows, the REGEDIT4 file on Linux) belong to the settings
// layer (settings/win32, settings/posix): this layer knows files, folders and
// names of the system, not what a setting is, so it hands back texts rather
// than filling a settings record it would have to include.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Result.h"

namespace kivro::platform {

// The manual serial ports a fresh installation names: "COM3" and "COM8" on
// Windows, "rfcomm0" and "ttyACM0" on Linux.
const char* DefaultBTPortName();
const char* DefaultUSBPortName();

// The sync folder a fresh installation names: "C:\" on Windows; on Linux
// $HOME/KivroProxy ("KivroProxy" when no home folder is known). Cut to capacity.
void DefaultSyncFolder(char* folder, size_t capacity);

#ifndef _WIN32
// $HOME when it is an absolute path, else the password database's entry; an
// empty text when neither knows a home folder.
std::string HomeFolder();

// Reads the whole file at path into text. A missing file reads as empty; fails
// when the file exists but cannot be read.
Result ReadWholeFile(const char* path, std::string& text);

// Puts text in the place of the file at path in one step: a temporary file in
// the same folder (created with the folders above it when missing), flushed to
// disk, then renamed over the old one, whose permissions it keeps. A crash
// leaves either the old or the new file. A path that is a link is written where
// the link points, so the link survives.
Result ReplaceFileAtomically(const char* path, const std::string& text);

// Creates the file at path holding text when nothing has that name; whatever
// is there already is left alone. The file appears whole or not at all. Ok
// when a file is there afterwards.
Result CreateFileOnce(const char* path, const std::string& text);
#endif

}  // namespace kivro::platform
