/*
 * Modem-line stand-in for pseudo-terminals, preloaded into the Wine processes
 * of the Windows tests.
 *
 * The tests' COM ports are socat pty pairs. A pty has no modem lines, so the
 * kernel refuses TIOCMBIS/TIOCMBIC/TIOCMSET/TIOCMGET and Wine turns that into
 * a failed EscapeCommFunction or GetCommModemStatus. A real serial driver
 * accepts them, so this wrapper answers them for ptys: it keeps the bits per
 * device, returns what was set, and, when BRINVALE_MODEM_LOG names a file,
 * appends one line per DTR or RTS change ("/dev/pts/3 DTR 1") so that a test
 * can see the gateway raise DTR on open and drop it on close.
 *
 * The bits are kept per device rather than per descriptor: Wine hands the
 * same port to a process under several descriptors over its life.
 *
 * Ioctls on anything the kernel serves (real serial ports included) go
 * through untouched.
 *
 * A Windows serial driver also lets only one handle at a time open a port;
 * Wine checks sharing only for plain files, so a second CreateFile on a busy
 * COM port would succeed. In the wineserver (which does the opening for all
 * Wine processes) this library therefore refuses a second open of a pty that
 * is still open, with EBUSY, until the first is closed.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*open_fn)(const char*, int, ...);
typedef int (*close_fn)(int);

enum { kMaxDevices = 64, kNameSize = 128, kMaxHeld = 64 };

struct device_lines {
    char name[kNameSize];
    int bits;
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static struct device_lines g_devices[kMaxDevices];
static int g_deviceCount;

/* Ptys the wineserver holds open, by descriptor. */
struct held_port {
    int fd;
    char name[kNameSize];
};
static struct held_port g_held[kMaxHeld];
static int g_heldCount;

static ioctl_fn real_ioctl(void)
{
    static ioctl_fn fn;
    if (!fn)
        fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return fn;
}

static int device_name(int fd, char* name, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, size - 1);
    if (n <= 0)
        return 0;
    name[n] = '\0';
    return 1;
}

/* Called with g_lock held. */
static struct device_lines* lines_for(const char* name)
{
    for (int i = 0; i < g_deviceCount; ++i) {
        if (strcmp(g_devices[i].name, name) == 0)
            return &g_devices[i];
    }
    if (g_deviceCount == kMaxDevices)
        return NULL;
    struct device_lines* d = &g_devices[g_deviceCount++];
    snprintf(d->name, sizeof d->name, "%s", name);
    d->bits = 0;
    return d;
}

static void log_change(const char* name, const char* line, int before, int after, int mask)
{
    if ((before & mask) == (after & mask))
        return;
    const char* path = getenv("BRINVALE_MODEM_LOG");
    if (!path || !*path)
        return;
    /* O_APPEND keeps lines from several processes whole. */
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[kNameSize + 32];
    int len = snprintf(text, sizeof text, "%s %s %d\n", name, line, (after & mask) ? 1 : 0);
    if (len > 0) {
        ssize_t ignored = write(fd, text, (size_t)len);
        (void)ignored;
    }
    close(fd);
}

static int emulate(int fd, unsigned long request, int* arg)
{
    char name[kNameSize];
    if (!arg || !device_name(fd, name, sizeof name)) {
        errno = EINVAL;
        return -1;
    }
    pthread_mutex_lock(&g_lock);
    struct device_lines* d = lines_for(name);
    if (!d) {
        pthread_mutex_unlock(&g_lock);
        errno = ENOMEM;
        return -1;
    }
    int before = d->bits;
    switch (request) {
    case TIOCMGET: *arg = d->bits; break;
    case TIOCMBIS: d->bits |= *arg; break;
    case TIOCMBIC: d->bits &= ~*arg; break;
    case TIOCMSET: d->bits = *arg; break;
    }
    int after = d->bits;
    pthread_mutex_unlock(&g_lock);
    log_change(name, "DTR", before, after, TIOCM_DTR);
    log_change(name, "RTS", before, after, TIOCM_RTS);
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    ioctl_fn fn = real_ioctl();
    if (!fn) {
        errno = ENOSYS;
        return -1;
    }
    int result = fn(fd, request, arg);
    if (result != -1)
        return result;
    if (request != TIOCMGET && request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET)
        return result;

    int saved = errno;
    /* Only ptys: any other refusal is real and must reach the caller. */
    char name[kNameSize];
    if (!isatty(fd) || !device_name(fd, name, sizeof name) || strncmp(name, "/dev/pts/", 9) != 0) {
        errno = saved;
        return result;
    }
    return emulate(fd, request, (int*)arg);
}

static int is_wineserver(void)
{
    static int known = -1;
    if (known < 0) {
        char exe[256];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        exe[n > 0 ? n : 0] = '\0';
        const char* base = strrchr(exe, '/');
        known = strncmp(base ? base + 1 : exe, "wineserver", 10) == 0;
    }
    return known;
}

static int is_pty_path(const char* path, char* name, size_t size)
{
    char resolved[PATH_MAX];
    if (!path || !realpath(path, resolved) || strncmp(resolved, "/dev/pts/", 9) != 0)
        return 0;
    size_t length = strlen(resolved);
    if (length >= size)
        return 0;
    memcpy(name, resolved, length + 1);
    return 1;
}

int open(const char* path, int flags, ...)
{
    static open_fn real_open;
    if (!real_open)
        real_open = (open_fn)dlsym(RTLD_NEXT, "open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }

    char name[kNameSize];
    if (!real_open || !is_wineserver() || !is_pty_path(path, name, sizeof name))
        return real_open ? real_open(path, flags, mode) : (errno = ENOSYS, -1);

    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < g_heldCount; ++i) {
        if (strcmp(g_held[i].name, name) == 0) {
            pthread_mutex_unlock(&g_lock);
            errno = EBUSY;
            return -1;
        }
    }
    int fd = real_open(path, flags, mode);
    if (fd >= 0 && g_heldCount < kMaxHeld) {
        g_held[g_heldCount].fd = fd;
        snprintf(g_held[g_heldCount].name, kNameSize, "%s", name);
        ++g_heldCount;
    }
    pthread_mutex_unlock(&g_lock);
    return fd;
}

int close(int fd)
{
    static close_fn real_close;
    if (!real_close)
        real_close = (close_fn)dlsym(RTLD_NEXT, "close");
    if (g_heldCount > 0) {
        pthread_mutex_lock(&g_lock);
        for (int i = 0; i < g_heldCount; ++i) {
            if (g_held[i].fd == fd) {
                g_held[i] = g_held[--g_heldCount];
                break;
            }
        }
        pthread_mutex_unlock(&g_lock);
    }
    return real_close ? real_close(fd) : (errno = ENOSYS, -1);
}
