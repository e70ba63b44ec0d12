// Counts the calls a real-time thread must never make. Allocation goes to
// glibc's own entry points (__libc_malloc and friends), so the wrappers need
// no symbol lookup; everything else is looked up once with RTLD_NEXT.
#define _GNU_SOURCE
#include "rtcheck.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);
extern void* __libc_memalign(size_t, size_t);

#define EXPORT __attribute__((visibility("default")))

static __thread int t_depth __attribute__((tls_model("initial-exec")));

enum { kKept = 64 };
static atomic_long g_counts[kGlimmRtKinds];
static atomic_int g_kept;
static const char* g_names[kKept];
static void* g_callers[kKept];

static void note(int kind, const char* name, void* caller) {
  atomic_fetch_add(&g_counts[kind], 1);
  const int i = atomic_fetch_add(&g_kept, 1);
  if (i < kKept) {
    g_names[i] = name;
    g_callers[i] = caller;
  }
}

#define WATCH(kind, name)                                           \
  do {                                                              \
    if (t_depth > 0) note(kind, name, __builtin_return_address(0)); \
  } while (0)

#define REAL(ret, name, params)    \
  static ret(*real_##name) params; \
  if (!real_##name) real_##name = (ret(*) params)dlsym(RTLD_NEXT, #name)

EXPORT void glimm_rtcheck_enter(void) { ++t_depth; }
EXPORT void glimm_rtcheck_leave(void) { --t_depth; }
EXPORT void glimm_rtcheck_reset(void) {
  for (int k = 0; k < kGlimmRtKinds; ++k) atomic_store(&g_counts[k], 0);
  atomic_store(&g_kept, 0);
}
__attribute__((visibility("hidden"))) void glimm_rtcheck_note_alloc(const char* name, void* caller) {
  if (t_depth > 0) note(kGlimmRtAlloc, name, caller);
}

EXPORT long glimm_rtcheck_count(int kind) {
  if (kind >= 0 && kind < kGlimmRtKinds) return atomic_load(&g_counts[kind]);
  long n = 0;
  for (int k = 0; k < kGlimmRtKinds; ++k) n += atomic_load(&g_counts[k]);
  return n;
}
EXPORT int glimm_rtcheck_event(int i, const char** function, void** caller) {
  const int kept = atomic_load(&g_kept);
  if (i < 0 || i >= kept || i >= kKept) return 0;
  *function = g_names[i];
  *caller = g_callers[i];
  return 1;
}
// Looked up through the global scope: if another malloc came first, this
// library's wrappers are not in use and the measurement would be empty.
EXPORT int glimm_rtcheck_active(void) {
  return dlsym(RTLD_DEFAULT, "malloc") == (void*)&malloc &&
         dlsym(RTLD_DEFAULT, "pthread_mutex_lock") == (void*)&pthread_mutex_lock;
}

// ---- allocation -------------------------------------------------------------

EXPORT void* malloc(size_t n) {
  WATCH(kGlimmRtAlloc, "malloc");
  return __libc_malloc(n);
}
EXPORT void* calloc(size_t n, size_t size) {
  WATCH(kGlimmRtAlloc, "calloc");
  return __libc_calloc(n, size);
}
EXPORT void* realloc(void* p, size_t n) {
  WATCH(kGlimmRtAlloc, "realloc");
  return __libc_realloc(p, n);
}
EXPORT void free(void* p) {
  if (p) WATCH(kGlimmRtAlloc, "free");
  __libc_free(p);
}
EXPORT void* memalign(size_t align, size_t n) {
  WATCH(kGlimmRtAlloc, "memalign");
  return __libc_memalign(align, n);
}
EXPORT void* aligned_alloc(size_t align, size_t n) {
  WATCH(kGlimmRtAlloc, "aligned_alloc");
  return __libc_memalign(align, n);
}
EXPORT int posix_memalign(void** out, size_t align, size_t n) {
  WATCH(kGlimmRtAlloc, "posix_memalign");
  if (align < sizeof(void*) || (align & (align - 1))) return 22;  // EINVAL
  void* p = __libc_memalign(align, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}

// ---- locks and waits ----------------------------------------------------------

#define LOCK1(name, type)       \
  EXPORT int name(type* m) {    \
    WATCH(kGlimmRtLock, #name); \
    REAL(int, name, (type*));   \
    return real_##name(m);      \
  }
LOCK1(pthread_mutex_lock, pthread_mutex_t)
LOCK1(pthread_mutex_trylock, pthread_mutex_t)
LOCK1(pthread_rwlock_rdlock, pthread_rwlock_t)
LOCK1(pthread_rwlock_wrlock, pthread_rwlock_t)
LOCK1(pthread_rwlock_tryrdlock, pthread_rwlock_t)
LOCK1(pthread_rwlock_trywrlock, pthread_rwlock_t)
LOCK1(pthread_spin_lock, pthread_spinlock_t)
LOCK1(pthread_spin_trylock, pthread_spinlock_t)
LOCK1(pthread_cond_signal, pthread_cond_t)
LOCK1(pthread_cond_broadcast, pthread_cond_t)
LOCK1(sem_wait, sem_t)
LOCK1(sem_trywait, sem_t)
LOCK1(sem_post, sem_t)

EXPORT int pthread_mutex_timedlock(pthread_mutex_t* m, const struct timespec* t) {
  WATCH(kGlimmRtLock, "pthread_mutex_timedlock");
  REAL(int, pthread_mutex_timedlock, (pthread_mutex_t*, const struct timespec*));
  return real_pthread_mutex_timedlock(m, t);
}
EXPORT int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m) {
  WATCH(kGlimmRtLock, "pthread_cond_wait");
  REAL(int, pthread_cond_wait, (pthread_cond_t*, pthread_mutex_t*));
  return real_pthread_cond_wait(c, m);
}
EXPORT int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, const struct timespec* t) {
  WATCH(kGlimmRtLock, "pthread_cond_timedwait");
  REAL(int, pthread_cond_timedwait, (pthread_cond_t*, pthread_mutex_t*, const struct timespec*));
  return real_pthread_cond_timedwait(c, m, t);
}
EXPORT int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock, const struct timespec* t) {
  WATCH(kGlimmRtLock, "pthread_cond_clockwait");
  REAL(int, pthread_cond_clockwait, (pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*));
  return real_pthread_cond_clockwait(c, m, clock, t);
}
EXPORT int sem_timedwait(sem_t* s, const struct timespec* t) {
  WATCH(kGlimmRtLock, "sem_timedwait");
  REAL(int, sem_timedwait, (sem_t*, const struct timespec*));
  return real_sem_timedwait(s, t);
}
EXPORT int pthread_join(pthread_t t, void** r) {
  WATCH(kGlimmRtLock, "pthread_join");
  REAL(int, pthread_join, (pthread_t, void**));
  return real_pthread_join(t, r);
}

// ---- system calls -------------------------------------------------------------

EXPORT long syscall(long number, ...) {
  WATCH(kGlimmRtSyscall, "syscall");
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  REAL(long, syscall, (long, ...));
  return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

#define CALL3(ret, name, t1, t2, t3)  \
  EXPORT ret name(t1 a, t2 b, t3 c) { \
    WATCH(kGlimmRtSyscall, #name);    \
    REAL(ret, name, (t1, t2, t3));    \
    return real_##name(a, b, c);      \
  }
#define CALL2(ret, name, t1, t2)   \
  EXPORT ret name(t1 a, t2 b) {    \
    WATCH(kGlimmRtSyscall, #name); \
    REAL(ret, name, (t1, t2));     \
    return real_##name(a, b);      \
  }
#define CALL1(ret, name, t1)       \
  EXPORT ret name(t1 a) {          \
    WATCH(kGlimmRtSyscall, #name); \
    REAL(ret, name, (t1));         \
    return real_##name(a);         \
  }

CALL3(ssize_t, write, int, const void*, size_t)
CALL3(ssize_t, read, int, void*, size_t)
CALL3(ssize_t, writev, int, const struct iovec*, int)
CALL3(ssize_t, readv, int, const struct iovec*, int)
CALL3(int, poll, struct pollfd*, nfds_t, int)
CALL2(int, nanosleep, const struct timespec*, struct timespec*)
CALL1(int, usleep, useconds_t)
CALL1(unsigned, sleep, unsigned)
CALL1(int, close, int)
CALL2(int, eventfd_write, int, eventfd_t)
CALL2(int, eventfd_read, int, eventfd_t*)
CALL2(int, munmap, void*, size_t)
CALL3(int, mprotect, void*, size_t, int)
CALL3(int, madvise, void*, size_t, int)

EXPORT int sched_yield(void) {
  WATCH(kGlimmRtSyscall, "sched_yield");
  REAL(int, sched_yield, (void));
  return real_sched_yield();
}
EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* t, struct timespec* rem) {
  WATCH(kGlimmRtSyscall, "clock_nanosleep");
  REAL(int, clock_nanosleep, (clockid_t, int, const struct timespec*, struct timespec*));
  return real_clock_nanosleep(clock, flags, t, rem);
}
EXPORT int ppoll(struct pollfd* f, nfds_t n, const struct timespec* t, const sigset_t* s) {
  WATCH(kGlimmRtSyscall, "ppoll");
  REAL(int, ppoll, (struct pollfd*, nfds_t, const struct timespec*, const sigset_t*));
  return real_ppoll(f, n, t, s);
}
EXPORT int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* t) {
  WATCH(kGlimmRtSyscall, "select");
  REAL(int, select, (int, fd_set*, fd_set*, fd_set*, struct timeval*));
  return real_select(n, r, w, e, t);
}
EXPORT int epoll_wait(int fd, struct epoll_event* ev, int n, int timeout) {
  WATCH(kGlimmRtSyscall, "epoll_wait");
  REAL(int, epoll_wait, (int, struct epoll_event*, int, int));
  return real_epoll_wait(fd, ev, n, timeout);
}
EXPORT ssize_t pwrite(int fd, const void* b, size_t n, off_t o) {
  WATCH(kGlimmRtSyscall, "pwrite");
  REAL(ssize_t, pwrite, (int, const void*, size_t, off_t));
  return real_pwrite(fd, b, n, o);
}
EXPORT ssize_t pread(int fd, void* b, size_t n, off_t o) {
  WATCH(kGlimmRtSyscall, "pread");
  REAL(ssize_t, pread, (int, void*, size_t, off_t));
  return real_pread(fd, b, n, o);
}
EXPORT int open(const char* path, int flags, ...) {
  WATCH(kGlimmRtSyscall, "open");
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = (mode_t)va_arg(ap, int);
  va_end(ap);
  REAL(int, open, (const char*, int, ...));
  return real_open(path, flags, mode);
}
EXPORT int ioctl(int fd, unsigned long request, ...) {
  WATCH(kGlimmRtSyscall, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  REAL(int, ioctl, (int, unsigned long, ...));
  return real_ioctl(fd, request, arg);
}
EXPORT void* mmap(void* addr, size_t n, int prot, int flags, int fd, off_t off) {
  WATCH(kGlimmRtSyscall, "mmap");
  REAL(void*, mmap, (void*, size_t, int, int, int, off_t));
  return real_mmap(addr, n, prot, flags, fd, off);
}

// ---- stdio (writes to a stream end in a system call sooner or later) ----------

EXPORT int vfprintf(FILE* f, const char* fmt, va_list ap) {
  WATCH(kGlimmRtStdio, "vfprintf");
  REAL(int, vfprintf, (FILE*, const char*, va_list));
  return real_vfprintf(f, fmt, ap);
}
EXPORT int fprintf(FILE* f, const char* fmt, ...) {
  WATCH(kGlimmRtStdio, "fprintf");
  REAL(int, vfprintf, (FILE*, const char*, va_list));
  va_list ap;
  va_start(ap, fmt);
  const int n = real_vfprintf(f, fmt, ap);
  va_end(ap);
  return n;
}
EXPORT int printf(const char* fmt, ...) {
  WATCH(kGlimmRtStdio, "printf");
  REAL(int, vfprintf, (FILE*, const char*, va_list));
  va_list ap;
  va_start(ap, fmt);
  const int n = real_vfprintf(stdout, fmt, ap);
  va_end(ap);
  return n;
}
EXPORT size_t fwrite(const void* p, size_t size, size_t n, FILE* f) {
  WATCH(kGlimmRtStdio, "fwrite");
  REAL(size_t, fwrite, (const void*, size_t, size_t, FILE*));
  return real_fwrite(p, size, n, f);
}
EXPORT int fputs(const char* s, FILE* f) {
  WATCH(kGlimmRtStdio, "fputs");
  REAL(int, fputs, (const char*, FILE*));
  return real_fputs(s, f);
}
EXPORT int puts(const char* s) {
  WATCH(kGlimmRtStdio, "puts");
  REAL(int, puts, (const char*));
  return real_puts(s);
}
EXPORT int fflush(FILE* f) {
  WATCH(kGlimmRtStdio, "fflush");
  REAL(int, fflush, (FILE*));
  return real_fflush(f);
}
