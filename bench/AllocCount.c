/* An LD_PRELOAD shim that counts a process's heap allocations (malloc, calloc,
 * realloc, the aligned forms; C++'s operator new lands in malloc) for the
 * benchmark's allocations-per-pass figure. The count lives in a file mapped
 * shared, named by KIVRO_ALLOC_COUNT_FILE, so the runner reads it while the
 * process runs: no signal handler to install in a program that routes its
 * signals through a signalfd. The real functions are found with dlsym; calls
 * made while dlsym itself allocates are served from a small static arena. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static void* (*real_malloc)(size_t);
static void* (*real_calloc)(size_t, size_t);
static void* (*real_realloc)(void*, size_t);
static int (*real_posix_memalign)(void**, size_t, size_t);
static void* (*real_aligned_alloc)(size_t, size_t);
static void (*real_free)(void*);

static uint64_t early_count;
static volatile uint64_t* counter = &early_count;
static char arena[8192];
static size_t arena_used;
static int resolving;

static void resolve(void) {
    if (real_malloc || resolving) return;
    resolving = 1;
    real_malloc = dlsym(RTLD_NEXT, "malloc");
    real_calloc = dlsym(RTLD_NEXT, "calloc");
    real_realloc = dlsym(RTLD_NEXT, "realloc");
    real_posix_memalign = dlsym(RTLD_NEXT, "posix_memalign");
    real_aligned_alloc = dlsym(RTLD_NEXT, "aligned_alloc");
    real_free = dlsym(RTLD_NEXT, "free");
    resolving = 0;
}

static void count(void) { __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED); }

static void* from_arena(size_t size) {
    size = (size + 15) & ~(size_t)15;
    if (arena_used + size > sizeof arena) return NULL;
    void* p = arena + arena_used;
    arena_used += size;
    return p;
}

static int in_arena(void* p) { return (char*)p >= arena && (char*)p < arena + sizeof arena; }

__attribute__((constructor)) static void open_counter(void) {
    resolve();
    const char* path = getenv("KIVRO_ALLOC_COUNT_FILE");
    if (!path) return;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    if (ftruncate(fd, 4096) == 0) {
        void* map = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            *(uint64_t*)map = early_count;
            counter = map;
        }
    }
    close(fd);
}

void* malloc(size_t size) {
    resolve();
    if (!real_malloc) return from_arena(size);
    count();
    return real_malloc(size);
}

void* calloc(size_t n, size_t size) {
    resolve();
    if (!real_calloc) {
        void* p = from_arena(n * size);
        if (p) memset(p, 0, n * size);
        return p;
    }
    count();
    return real_calloc(n, size);
}

void* realloc(void* p, size_t size) {
    resolve();
    count();
    if (in_arena(p)) {
        size_t left = (size_t)(arena + sizeof arena - (char*)p);
        void* q = real_malloc(size);
        if (q) memcpy(q, p, size < left ? size : left);
        return q;
    }
    return real_realloc(p, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    resolve();
    count();
    return real_posix_memalign(out, alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    resolve();
    count();
    return real_aligned_alloc(alignment, size);
}

void free(void* p) {
    if (!p || in_arena(p)) return;
    resolve();
    real_free(p);
}
