/* noflush: an LD_PRELOAD shim that drops output flushes. On exit rx drains
 * and then flushes its output; on a pty the drain returns at once, so the
 * flush can throw away its last acknowledgement and the sender then retries
 * for minutes. Input flushes still go to the real tcflush. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <termios.h>

typedef int (*NoflushTcflush)(int, int);

int tcflush(int fd, int queue)
{
    static NoflushTcflush real;
    if (!real)
        real = (NoflushTcflush)dlsym(RTLD_NEXT, "tcflush");
    if (queue == TCOFLUSH)
        return 0;
    if (queue == TCIOFLUSH)
        queue = TCIFLUSH;
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, queue);
}
