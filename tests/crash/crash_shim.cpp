// Preloaded into the server and every command it runs (tests only): counts
// the calls that change the file system in a page shared by all of them
// and, at the chosen call, kills the whole process group before the call
// is made, as a power cut would stop the device.
//
// The page is the file named by KAL_CRASH_COUNTER (struct CrashCounter of
// tests/crash/crash_counter.h). Nothing is counted while it is not armed.
// Both the plain and the 64-bit names are wrapped, so neither may stand in
// for the other here.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "tests/crash/crash_counter.h"

namespace {

CrashCounter *g_page = NULL;
int g_mapped = 0;  // 0 not tried, 1 mapped, -1 no page

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

CrashCounter *page()
{
    if (g_mapped != 0)
        return g_page;
    g_mapped = -1;
    const char *path = getenv(KAL_CRASH_COUNTER_ENV);
    if (path == NULL || path[0] == '\0')
        return NULL;
    // The raw system call: open itself is wrapped here.
    int saved = errno;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        void *map = mmap(NULL, sizeof(CrashCounter), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (map != MAP_FAILED) {
            g_page = static_cast<CrashCounter *>(map);
            g_mapped = 1;
        }
    }
    errno = saved;
    return g_page;
}

// One call that changes the file system is about to be made.
void point()
{
    CrashCounter *p = page();
    if (p == NULL || __atomic_load_n(&p->armed, __ATOMIC_SEQ_CST) == 0)
        return;
    int n = __atomic_add_fetch(&p->count, 1, __ATOMIC_SEQ_CST);
    int limit = __atomic_load_n(&p->limit, __ATOMIC_SEQ_CST);
    if (limit > 0 && n >= limit) {
        __atomic_store_n(&p->fired, 1, __ATOMIC_SEQ_CST);
        kill(0, SIGKILL);
        raise(SIGKILL);
    }
}

bool writesTo(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

bool fileLike(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

// The mode argument is there only when the file may be created.
mode_t openMode(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

bool modeWrites(const char *mode)
{
    return mode != NULL && strpbrk(mode, "wa+") != NULL;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = openMode(flags, args);
    va_end(args);
    if (writesTo(flags))
        point();
    return real<int (*)(const char *, int, ...)>("open")(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = openMode(flags, args);
    va_end(args);
    if (writesTo(flags))
        point();
    return real<int (*)(const char *, int, ...)>("open64")(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = openMode(flags, args);
    va_end(args);
    if (writesTo(flags))
        point();
    return real<int (*)(int, const char *, int, ...)>("openat")(dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = openMode(flags, args);
    va_end(args);
    if (writesTo(flags))
        point();
    return real<int (*)(int, const char *, int, ...)>("openat64")(dir, path, flags, mode);
}

int creat(const char *path, mode_t mode)
{
    point();
    return real<int (*)(const char *, mode_t)>("creat")(path, mode);
}

int creat64(const char *path, mode_t mode)
{
    point();
    return real<int (*)(const char *, mode_t)>("creat64")(path, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    if (modeWrites(mode))
        point();
    return real<FILE *(*)(const char *, const char *)>("fopen")(path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    if (modeWrites(mode))
        point();
    return real<FILE *(*)(const char *, const char *)>("fopen64")(path, mode);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (fileLike(fd))
        point();
    return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, buf, count);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset)
{
    if (fileLike(fd))
        point();
    return real<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite")(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off64_t offset)
{
    if (fileLike(fd))
        point();
    return real<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64")(fd, buf, count, offset);
}

ssize_t writev(int fd, const struct iovec *iov, int count)
{
    if (fileLike(fd))
        point();
    return real<ssize_t (*)(int, const struct iovec *, int)>("writev")(fd, iov, count);
}

int fsync(int fd)
{
    point();
    return real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd)
{
    point();
    return real<int (*)(int)>("fdatasync")(fd);
}

int ftruncate(int fd, off_t length)
{
    point();
    return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int ftruncate64(int fd, off64_t length)
{
    point();
    return real<int (*)(int, off64_t)>("ftruncate64")(fd, length);
}

int truncate(const char *path, off_t length)
{
    point();
    return real<int (*)(const char *, off_t)>("truncate")(path, length);
}

int rename(const char *from, const char *to)
{
    point();
    return real<int (*)(const char *, const char *)>("rename")(from, to);
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    point();
    return real<int (*)(int, const char *, int, const char *)>("renameat")(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    point();
    return real<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2")(fromDir, from, toDir, to,
                                                                                          flags);
}

int unlink(const char *path)
{
    point();
    return real<int (*)(const char *)>("unlink")(path);
}

int unlinkat(int dir, const char *path, int flags)
{
    point();
    return real<int (*)(int, const char *, int)>("unlinkat")(dir, path, flags);
}

int remove(const char *path)
{
    point();
    return real<int (*)(const char *)>("remove")(path);
}

int mkdir(const char *path, mode_t mode)
{
    point();
    return real<int (*)(const char *, mode_t)>("mkdir")(path, mode);
}

int mkdirat(int dir, const char *path, mode_t mode)
{
    point();
    return real<int (*)(int, const char *, mode_t)>("mkdirat")(dir, path, mode);
}

int rmdir(const char *path)
{
    point();
    return real<int (*)(const char *)>("rmdir")(path);
}

int link(const char *from, const char *to)
{
    point();
    return real<int (*)(const char *, const char *)>("link")(from, to);
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    point();
    return real<int (*)(int, const char *, int, const char *, int)>("linkat")(fromDir, from, toDir, to, flags);
}

int symlink(const char *target, const char *path)
{
    point();
    return real<int (*)(const char *, const char *)>("symlink")(target, path);
}

int symlinkat(const char *target, int dir, const char *path)
{
    point();
    return real<int (*)(const char *, int, const char *)>("symlinkat")(target, dir, path);
}

int chmod(const char *path, mode_t mode)
{
    point();
    return real<int (*)(const char *, mode_t)>("chmod")(path, mode);
}

int fchmod(int fd, mode_t mode)
{
    point();
    return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchmodat(int dir, const char *path, mode_t mode, int flags)
{
    point();
    return real<int (*)(int, const char *, mode_t, int)>("fchmodat")(dir, path, mode, flags);
}

}  // extern "C"
