// Linux folder names: getdents64 straight into the listing's own buffer, so no
// DIR stream is allocated; folder identity from stat (device and inode).
#include "platform/DirNames.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivro::platform {

Result DirNames::Open(const char* dir) {
    Close();
    if (dir[0] == '\0') return Result(ENOENT);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Result(static_cast<uint32_t>(errno));
    folder_.reset(fd);
    return {};
}

const char* DirNames::Next() {
    while (folder_.valid()) {
        if (at_ >= end_) {
            ssize_t n = getdents64(static_cast<int>(folder_.get()), buffer_, sizeof buffer_);
            if (n <= 0) {
                Close();
                return nullptr;
            }
            at_ = 0;
            end_ = static_cast<uint32_t>(n);
        }
        const auto* entry = reinterpret_cast<const dirent64*>(buffer_ + at_);
        at_ += entry->d_reclen;
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
    }
    return nullptr;
}

void DirNames::Close() {
    folder_.reset();
    at_ = end_ = 0;
}

bool SameFolder(const char* a, const char* b) {
    struct stat first;
    struct stat second;
    return stat(a, &first) == 0 && stat(b, &second) == 0 && S_ISDIR(first.st_mode) &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace kivro::platform
