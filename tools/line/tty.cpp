// Raw line settings and opening a serial device; see tty.h.
#include "tty.h"
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int SetRawLine(int fd, const char *name)
{
    struct termios mode;
    if (tcgetattr(fd, &mode) != 0) {
        fprintf(stderr, "%s: error: tcgetattr on %s failed: %s\n", lineToolName, name, strerror(errno));
        return 0;
    }
    cfmakeraw(&mode);
    mode.c_iflag &= ~(IXOFF | IXANY);
    mode.c_cflag &= ~(CSTOPB | CRTSCTS);
    mode.c_cflag |= CLOCAL | CREAD;
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (cfsetispeed(&mode, B115200) != 0 || cfsetospeed(&mode, B115200) != 0) {
        fprintf(stderr, "%s: error: cfsetspeed 115200 on %s failed: %s\n", lineToolName, name, strerror(errno));
        return 0;
    }
    if (tcsetattr(fd, TCSANOW, &mode) != 0) {
        fprintf(stderr, "%s: error: tcsetattr on %s failed: %s\n", lineToolName, name, strerror(errno));
        return 0;
    }
    return 1;
}

int OpenRawLine(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "%s: error: open %s failed: %s\n", lineToolName, path, strerror(errno));
        return -1;
    }
    if (isatty(fd) && !SetRawLine(fd, path)) {
        close(fd);
        return -1;
    }
    return fd;
}

int CloseLine(int fd, const char *name)
{
    if (close(fd) == 0)
        return 1;
    fprintf(stderr, "%s: error: close %s failed: %s\n", lineToolName, name, strerror(errno));
    return 0;
}

int SetNonBlocking(int fd, const char *name)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        fprintf(stderr, "%s: error: fcntl(F_GETFL) on %s failed: %s\n", lineToolName, name, strerror(errno));
        return 0;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        fprintf(stderr, "%s: error: fcntl(F_SETFL) on %s failed: %s\n", lineToolName, name, strerror(errno));
        return 0;
    }
    return 1;
}
