// Which file names from the phone may be written into the sync folder. A name
// arrives as raw bytes and becomes a path below the folder, so anything that
// could leave the folder (a separator, a drive, "..") or name something other
// than a plain file there (a device, a name the system silently changes) is
// refused. The rules are a pure function of the bytes and a rule set, not of
// the system the program runs on, so both sets are tested everywhere; the
// engine uses the host's set.
#pragma once

#include <cstddef>

#include "platform/Files.h"

namespace kivro {

enum class FileNameRules {
    Posix,    // separators, ":", controls, "." and ".."
    Windows,  // the same, and what Win32 forbids, alters or maps to a device
};

inline constexpr FileNameRules kHostFileNameRules =
    platform::kPathSeparator == '\\' ? FileNameRules::Windows : FileNameRules::Posix;

// True when the length bytes at name form a plain file name under rules. A NUL
// among the bytes counts as a control character: the name would be cut there.
//  Both sets refuse: the empty name, "." and "..", "/", "\", ":", and the
//  control characters 0-31 and 127.
//  Windows also: < > " | ? *, a trailing dot or blank, and the device names
//  CON PRN AUX NUL COM1-9 LPT1-9 (also with the superscript digits 1-3 of the
//  ANSI code page), in any case, alone or before an extension.
bool IsSafeFileName(const char* name, size_t length, FileNameRules rules);

}  // namespace kivro
