/* Modem lines for a pty, which has none: an ioctl interposer that answers
 * TIOCMGET and TIOCMIWAIT for a tty whose state file exists, so the Bluetooth
 * path (CTS and DSR up while the phone's server runs) can be driven end to end
 * over a pty. Everything else goes to the real ioctl untouched. Beside it, a
 * read interposer fails a tty's reads with EIO once a byte budget is spent
 * ($KIVRO_MODEM_DIR/<tty>.budget for every read after it, <tty>.once for one
 * read, the file then removed), for a driver error at an exact point,
 * <tty>.gets, when present, counts the TIOCMGET calls, and <tty>.stall holds
 * TIOCMIWAIT that many milliseconds before it takes the state it waits to
 * change from: a caller preempted on its way into the driver.
 *
 * The state lives in files, not in memory, so the same shim serves the test
 * binary (linked ahead of libc) and any other process it is LD_PRELOADed into:
 * $KIVRO_MODEM_DIR/<tty path with "/" as "_"> holds the TIOCM bits in decimal.
 * TIOCMIWAIT polls that file every 2 ms and, like the real call, ends with EINTR
 * when a signal arrives: signals are held while it reads the file and let in
 * only by its sleeps (ppoll), so one that comes between two sleeps is not
 * taken by its handler and then forgotten, as it never is by a driver's wait. With
 * $KIVRO_MODEM_DIR/rfcomm present the shim answers as Linux's RFCOMM tty does: TIOCMGET works, but
 * its ioctl does not know TIOCMIWAIT (-ENOIOCTLCMD, which the tty layer hands to user space as
 * ENOTTY). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef ssize_t (*read_fn)(int, void*, size_t);

static ssize_t real_read(int fd, void* buffer, size_t count) {
    static read_fn real;
    if (real == NULL) real = (read_fn)dlsym(RTLD_NEXT, "read");
    return real(fd, buffer, count);
}

static int call_real(int fd, unsigned long request, void* arg) {
    static ioctl_fn real;
    if (real == NULL) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, arg);
}

/* The file of fd's tty with suffix, or 0 when it does not exist. */
static int tty_file(int fd, const char* suffix, char* path, size_t capacity) {
    const char* dir = getenv("KIVRO_MODEM_DIR");
    if (dir == NULL || dir[0] == '\0') return 0;
    char link[64];
    char target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    for (ssize_t i = 0; i < n; ++i)
        if (target[i] == '/') target[i] = '_';
    if ((size_t)snprintf(path, capacity, "%s/%s%s", dir, target, suffix) >= capacity) return 0;
    return access(path, F_OK) == 0;
}

static int read_state(const char* path, int* bits) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32];
    ssize_t n = real_read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    *bits = atoi(text);
    return 1;
}

/* Counts the TIOCMGET calls on fd's tty when <tty>.gets exists, so a test can
 * see that its line change has been read. */
static void count_read(int fd) {
    char path[512];
    int reads = 0;
    if (!tty_file(fd, ".gets", path, sizeof path) || !read_state(path, &reads)) return;
    char temp[520];
    snprintf(temp, sizeof temp, "%s.%d", path, (int)getpid());
    FILE* f = fopen(temp, "w");
    if (f == NULL) return;
    fprintf(f, "%d", reads + 1);
    fclose(f);
    rename(temp, path);
}

static int rfcomm_mode(void) {
    const char* dir = getenv("KIVRO_MODEM_DIR");
    char path[512];
    if (dir == NULL || (size_t)snprintf(path, sizeof path, "%s/rfcomm", dir) >= sizeof path)
        return 0;
    return access(path, F_OK) == 0;
}

/* Sleeps ms with the caller's signal mask: 0, or -1 with EINTR when a signal
 * came, during the sleep or while it was held before. */
static int wait_ms(int ms, const sigset_t* callers) {
    struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    if (ppoll(NULL, 0, &pause, callers) < 0 && errno == EINTR) return -1;
    return 0;
}

/* The emulated TIOCMIWAIT: every signal held but while it sleeps. After a
 * stall, the state it waits to change from is taken anew. */
static int wait_for_change(const char* path, int bits, int mask, int stall_ms) {
    sigset_t all, callers;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &callers);
    int result = 0;
    if (stall_ms > 0) {
        if (wait_ms(stall_ms, &callers) != 0) {
            result = -1;
        } else if (!read_state(path, &bits)) {
            errno = EIO;
            result = -1;
        }
    }
    while (result == 0) {
        if (wait_ms(2, &callers) != 0) {
            result = -1;
            break;
        }
        int now = 0;
        if (!read_state(path, &now)) {
            errno = EIO;
            result = -1;
            break;
        }
        if ((now ^ bits) & mask) break;
    }
    int saved = errno;
    pthread_sigmask(SIG_SETMASK, &callers, NULL);
    errno = saved;
    return result;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    char path[512];
    if ((request == TIOCMGET || request == TIOCMIWAIT) && tty_file(fd, "", path, sizeof path)) {
        int bits = 0;
        if (!read_state(path, &bits)) {
            errno = EIO;
            return -1;
        }
        if (request == TIOCMGET) {
            count_read(fd);
            *(int*)arg = bits;
            return 0;
        }
        if (rfcomm_mode()) {
            errno = ENOTTY;
            return -1;
        }
        char stall_path[512];
        int stall_ms = 0;
        if (!tty_file(fd, ".stall", stall_path, sizeof stall_path) ||
            !read_state(stall_path, &stall_ms))
            stall_ms = 0;
        return wait_for_change(path, bits, (int)(long)arg, stall_ms);
    }
    return call_real(fd, request, arg);
}

ssize_t read(int fd, void* buffer, size_t count) {
    struct stat st;
    /* Only ttys have budgets; other reads (Wine's many) skip the look-up. */
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return real_read(fd, buffer, count);
    char path[512];
    int budget = 0;
    int once = 0;
    if (tty_file(fd, ".once", path, sizeof path) && read_state(path, &budget)) {
        once = 1;
    } else if (!tty_file(fd, ".budget", path, sizeof path) || !read_state(path, &budget)) {
        return real_read(fd, buffer, count);
    }
    if (budget <= 0) {
        if (once) unlink(path);
        errno = EIO;
        return -1;
    }
    if (count > (size_t)budget) count = (size_t)budget;
    ssize_t n = real_read(fd, buffer, count);
    if (n > 0) {
        char temp[520];
        snprintf(temp, sizeof temp, "%s.new", path);
        FILE* f = fopen(temp, "w");
        if (f != NULL) {
            fprintf(f, "%d", budget - (int)n);
            fclose(f);
            rename(temp, path);
        }
    }
    return n;
}
