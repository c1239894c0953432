// Files and directories as the core needs them: a file opened for the transfer
// (read while others may only read, or created new, held without sharing), the
// atomic replacement of one file by another and the removal of one, one
// directory's listing with the attributes the directory monitor filters on, a
// look-up of one file and a directory test. Only plain files are ever opened:
// links (reparse points) and pipes are refused, never followed or waited on,
// because the sync folder holds whatever its user put there. Handles stay
// behind an intptr_t so this header is the same on both systems and the core
// never sees a HANDLE or an fd; the backends (win32/Files.cpp, posix/Files.cpp)
// make the calls. Failures come back as a Result holding the system's code
// (GetLastError / errno) rather than a bool plus LastError(), so a caller
// cannot lose the code to an intervening call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Result.h"
#include "platform/System.h"
#include "platform/Unique.h"
#include "text/Text.h"

namespace kivro::platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// True when a directory text ending in this character needs no separator before
// a name: "\" and ":" on Windows (as in "C:\" and "C:"), "/" on both.
constexpr bool EndsDirectoryPrefix(char last) {
#if defined(_WIN32)
    return last == '\\' || last == ':' || last == '/';
#else
    return last == '/';
#endif
}

// Whether the file system folds case when it compares names: Windows does,
// Linux compares bytes.
#if defined(_WIN32)
inline constexpr bool kNamesFoldCase = true;
#else
inline constexpr bool kNamesFoldCase = false;
#endif

// dir, a separator unless dir is empty or already ends in one, then name; cut
// to capacity - 1 characters and always NUL-terminated (the result is handed to
// the system). dir and name end at their NUL or at their capacities. False when
// something was cut: such a path names some other file and must not be used.
bool JoinPath(char* dest, size_t capacity, const char* dir, const char* name,
              size_t dirCapacity = SIZE_MAX, size_t nameCapacity = SIZE_MAX);

// Files and searches are owned as an intptr_t; -1 is the invalid value on both
// systems (INVALID_HANDLE_VALUE, the failed fd).
void CloseFileHandle(intptr_t handle);  // CloseHandle / close
void CloseFindHandle(intptr_t handle);  // FindClose / closedir
using UniqueFile = Unique<intptr_t, -1, CloseFileHandle>;
using UniqueFind = Unique<intptr_t, -1, CloseFindHandle>;

enum class SeekOrigin { Begin, Current, End };

// One open file. Every operation returns its Result.
class File {
  public:
    // An existing file for reading; other openers may read it too but not write
    // it, and an opener that writes makes this open fail (Windows: FILE_SHARE_READ,
    // a sharing violation 32. Linux: the same between openers that take locks:
    // a shared OFD lock, EAGAIN when another holds it for writing. Linux has no
    // mandatory sharing, so a writer that takes no lock goes unnoticed there.)
    Result OpenRead(const char* path);
    // An existing plain file for reading, as OpenRead, but a link (reparse
    // point), pipe, device or folder at path is refused with kNotPlainFile or
    // the folder's code, and a pipe is never waited on (the open does not block).
    Result OpenPlainRead(const char* path);
    // Creates a new file for writing, without sharing; fails when anything (a
    // file, a link, a pipe) already has the name, and never follows a link.
    Result CreateNew(const char* path);
    // Creates the file for writing, replacing an existing one, without sharing
    // (Windows: CREATE_ALWAYS, share mode 0. Linux: an exclusive OFD lock taken
    // before the old contents are cut, EAGAIN while another opener holds a lock).
    Result Create(const char* path);

    // Reads up to size bytes; done 0 with result 0 is the end of the file.
    Result Read(void* buffer, uint32_t size, uint32_t& done);
    // Writes all size bytes unless an error stops it; done counts what was written.
    Result Write(const void* data, uint32_t size, uint32_t& done);
    // Moves the file position; position receives the new one when not null.
    Result Seek(int64_t offset, SeekOrigin origin, uint64_t* position = nullptr);
    Result Position(uint64_t& position) { return Seek(0, SeekOrigin::Current, &position); }
    Result Size(uint64_t& size) const;

    bool IsOpen() const { return file_.valid(); }
    void Close() { file_.reset(); }

  private:
    UniqueFile file_;
};

// What OpenPlainRead answers for something that is not a plain file: ELOOP /
// ERROR_CANT_ACCESS_FILE 1920 (the code Windows gives for a reparse point).
extern const uint32_t kNotPlainFile;

// True for the failures that say the file (or its folder) is not there at all.
bool IsNotFound(Result result);

// Puts the file from in the place of to in one step, replacing whatever to
// names (a file, or a link itself, never what it points at): rename /
// MoveFileExA with MOVEFILE_REPLACE_EXISTING.
Result MoveReplacing(const char* from, const char* to);
// Deletes one file (a link itself, not what it points at).
Result RemoveFile(const char* path);

// One entry of a directory, as the system reports it.
struct DirEntry {
    char Name[kPathCapacity];  // without directory; 260 characters at most, NUL-terminated
    bool Directory;            // "." and ".." included
    bool Special;              // not a plain file: a link or reparse point (whatever it
                               // points at), a fifo, device or socket
    bool Hidden;               // Windows attribute; on Linux a name starting with "."
    bool System;               // Windows attribute; never on Linux
    uint64_t Size;             // bytes
    CalendarTime LastWrite;    // local calendar time (milliseconds 0 on Linux)
};

// Lists one directory, without entering subdirectories (FindFirstFileA on
// "dir\*" / opendir). Entries come in the system's order.
class DirListing {
  public:
    // Ok when the directory can be listed (an empty listing included). An
    // empty dir is "not found", never the current folder.
    Result Open(const char* dir);
    // Fills entry with the next entry; false at the end or after a failure.
    bool Next(DirEntry& entry);
    void Close();

  private:
    UniqueFind find_;
#if defined(_WIN32)
    bool havePending_ = false;  // FindFirstFileA already gave this entry
    DirEntry pending_{};
#endif
};

// The file or directory at path (no wildcards), as a listing would give it.
Result FindFile(const char* path, DirEntry& entry);

// Ok when path names an existing directory (one trailing separator allowed, the
// roots "C:\" and "/" included); otherwise the system's code: "not a directory"
// (ERROR_DIRECTORY 267 / ENOTDIR) for a file, "path not found" for "".
Result DirectoryExists(const char* path);

}  // namespace kivro::platform
