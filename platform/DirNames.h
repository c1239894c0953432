// The names in one folder, without their attributes, read into a buffer the
// listing itself holds, and whether two paths lead to one folder. Built for
// searches that run again and again while something is missing (the Linux port
// rules look at the tty class folder once a second while a port is closed):
// they allocate nothing, where opendir allocates its buffer and
// std::filesystem a path per entry, so the engine's loop stays free of
// allocation with discovery on. Linux reads the folder with getdents64; Windows
// with FindFirstFileA/FindNextFileA, whose record is kept in the same buffer.
#pragma once

#include <cstdint>

#include "platform/Files.h"
#include "platform/Result.h"

namespace kivro::platform {

class DirNames {
  public:
    // An empty dir is "not found", never the current folder.
    Result Open(const char* dir);
    // The next name, "." and ".." left out, valid until the next call; null at
    // the end or after a failure, which ends the listing.
    const char* Next();
    void Close();

  private:
#if defined(_WIN32)
    UniqueFind find_;
    bool havePending_ = false;  // FindFirstFileA already gave the record in the buffer
#else
    UniqueFile folder_;
    uint32_t at_ = 0;
    uint32_t end_ = 0;
#endif
    alignas(8) unsigned char buffer_[4096];
};

// True when a and b both lead, links followed, to one existing folder.
bool SameFolder(const char* a, const char* b);

}  // namespace kivro::platform
