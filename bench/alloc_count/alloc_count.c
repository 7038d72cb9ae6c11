/* Counts heap allocations of a process: load it with LD_PRELOAD and read the counter
 * through alloc_count_total() (found with dlsym(RTLD_DEFAULT, ...) or ctypes.CDLL(None)).
 *
 * Every allocating entry point of the C library is wrapped: malloc, calloc, realloc,
 * posix_memalign, aligned_alloc, memalign, valloc and pvalloc. C++ operator new and
 * OpenCV's aligned allocator end up in one of them. free is wrapped only to keep the few
 * bytes served before the real allocator is known away from it.
 *
 * Build: cc -O2 -shared -fPIC -o alloc_count.so alloc_count.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

static unsigned long long g_count;
static void* (*real_malloc)(size_t);
static void* (*real_calloc)(size_t, size_t);
static void* (*real_realloc)(void*, size_t);
static int (*real_posix_memalign)(void**, size_t, size_t);
static void* (*real_aligned_alloc)(size_t, size_t);
static void* (*real_memalign)(size_t, size_t);
static void* (*real_valloc)(size_t);
static void* (*real_pvalloc)(size_t);
static void (*real_free)(void*);

/* dlsym itself may call calloc before the real one is known: serve it from here. */
static char g_bootstrap[4096];
static size_t g_bootstrap_used;
static int g_resolving;

static void resolve(void) {
    if (real_malloc || g_resolving) return;
    g_resolving = 1;
    real_calloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
    real_realloc = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
    real_posix_memalign = (int (*)(void**, size_t, size_t))dlsym(RTLD_NEXT, "posix_memalign");
    real_aligned_alloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "aligned_alloc");
    real_memalign = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "memalign");
    real_valloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "valloc");
    real_pvalloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "pvalloc");
    real_free = (void (*)(void*))dlsym(RTLD_NEXT, "free");
    real_malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    g_resolving = 0;
}

static int from_bootstrap(const void* p) {
    return (const char*)p >= g_bootstrap && (const char*)p < g_bootstrap + sizeof g_bootstrap;
}

static void* bootstrap(size_t n) {
    n = (n + 15) & ~(size_t)15;
    if (g_bootstrap_used + n > sizeof g_bootstrap) return NULL;
    void* p = g_bootstrap + g_bootstrap_used;
    g_bootstrap_used += n;
    return p;
}

unsigned long long alloc_count_total(void) { return __atomic_load_n(&g_count, __ATOMIC_RELAXED); }

static void count(void) { __atomic_fetch_add(&g_count, 1, __ATOMIC_RELAXED); }

void* malloc(size_t n) {
    resolve();
    if (!real_malloc) return bootstrap(n);
    count();
    return real_malloc(n);
}

void* calloc(size_t a, size_t b) {
    resolve();
    if (!real_calloc) {
        void* p = bootstrap(a * b);
        if (p) memset(p, 0, a * b);
        return p;
    }
    count();
    return real_calloc(a, b);
}

void* realloc(void* p, size_t n) {
    resolve();
    count();
    if (from_bootstrap(p)) {
        void* q = real_malloc(n);
        if (q) memcpy(q, p, n < sizeof g_bootstrap ? n : sizeof g_bootstrap);
        return q;
    }
    return real_realloc(p, n);
}

void free(void* p) {
    if (p == NULL || from_bootstrap(p)) return;
    resolve();
    real_free(p);
}

int posix_memalign(void** out, size_t align, size_t n) {
    resolve();
    count();
    return real_posix_memalign(out, align, n);
}

void* aligned_alloc(size_t align, size_t n) {
    resolve();
    count();
    return real_aligned_alloc(align, n);
}

void* memalign(size_t align, size_t n) {
    resolve();
    count();
    return real_memalign(align, n);
}

void* valloc(size_t n) {
    resolve();
    count();
    return real_valloc(n);
}

void* pvalloc(size_t n) {
    resolve();
    count();
    return real_pvalloc(n);
}
