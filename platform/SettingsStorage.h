// Where the settings live on this system, and the defaults that name things of
// the system. Windows keeps the settings key in the registry; Linux keeps the
// same key as a REGEDIT4 file, so both run the same typed rules above a
// ValueStore (the alternative, a native Linux format, would need its own rules
// for oversized and mistyped values and could not be compared with Windows).
#pragma once

#include <cstddef>
#include <memory>

#include "settings/Settings.h"
#include "settings/ValueStore.h"

namespace kivro::platform {

// Fills the settings that name things of the system: the manual serial ports
// ("COM3"/"COM8"; "rfcomm0"/"ttyACM0") and the sync folder ("C:\"; $HOME/KivroProxy).
void FillSystemDefaults(Settings& settings);

// The store the program uses: the registry of the current user on Windows, the
// settings file (SettingsFilePath) on Linux. Not yet opened.
std::unique_ptr<ValueStore> CreateSettingsValueStore();

#ifndef _WIN32
// $XDG_CONFIG_HOME/kivroproxy/settings.reg; an unset, empty or relative
// XDG_CONFIG_HOME means ~/.config. False when no home folder is known.
bool SettingsFilePath(char* path, size_t capacity);

// The store over the REGEDIT4 file at path (the program's own, or a test's).
std::unique_ptr<ValueStore> CreateSettingsFileStore(const char* path);

// Creates the file at path, with every value of defaults after a comment on
// what it does, when no file is there; an existing file is left alone. True
// when the file exists afterwards.
bool CreateDefaultSettingsFile(const char* path, const Settings& defaults, const char* keyPath);
#endif

}  // namespace kivro::platform
