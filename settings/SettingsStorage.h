// Where the settings live on this system: the key HKEY_CURRENT_USER\<path> of
// the registry on Windows (win32/SettingsStorage.cpp); the same key as a
// REGEDIT4 file on Linux (posix/SettingsStorage.cpp), over the platform's file
// primitives. Both are ValueStores, so the same typed rules run above either
// (the alternative, a native Linux format, would need its own rules for
// oversized and mistyped values and could not be compared with Windows).
#pragma once

#include <cstddef>
#include <memory>

#include "settings/Settings.h"
#include "settings/ValueStore.h"

namespace kivro {

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

}  // namespace kivro
