// Linux change notification: an inotify instance with one watch on the folder.
// Its fd is readable while events are queued, which is the signalled state;
// re-arming drains the queue. Only the event kinds that change a file's name or
// last-write time are asked for, so reads do not wake the engine. IN_MODIFY is
// among them although it comes with every write (as Windows' last-write
// notification does): a change of the modification time alone (utimensat with
// the access time left alone, "touch -m") reports IN_MODIFY, not IN_ATTRIB, and
// a writer that keeps its file open never reports IN_CLOSE_WRITE. The wait
// source is the bare inotify fd: readable is signalled.
#include "platform/DirWatch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

#include "platform/posix/WaitSource.h"

namespace kivro::platform {

namespace {
// The folder's own removal or move ends the watch (IN_IGNORED follows).
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_ONLYDIR |
                                IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kGoneMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

uint32_t Errno() {
    return errno != 0 ? static_cast<uint32_t>(errno) : EIO;
}
}  // namespace

void CloseChangeNotification(void* raw) {
    auto* source = static_cast<posix::WaitSource*>(raw);
    close(source->fd);
    delete source;
}

Result DirWatch::Open(const char* dir) {
    Close();
    gone_ = false;
    if (dir[0] == '\0') return Result(ENOENT);
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return Result(Errno());
    notification_.reset(new posix::WaitSource{fd});
    if (inotify_add_watch(fd, dir, kWatchMask) < 0) {
        const uint32_t code = Errno();
        Close();
        return Result(code);
    }
    return {};
}

bool DirWatch::Gone() const {
    return gone_;
}

Result DirWatch::Rearm() {
    if (!notification_.valid()) return Result(EBADF);
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = read(posix::SourceOf(Handle())->fd, buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                if (event.mask & kGoneMask) gone_ = true;
                at += ssize_t(sizeof event + event.len);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
        return Result(n == 0 ? EIO : Errno());
    }
}

}  // namespace kivro::platform
