// The pty pair and its link; see pty.h.
#include "pty.h"
#include "names.h"
#include "tty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenLinePty(LinePty *pty)
{
    pty->slavePath[0] = '\0';
    pty->linkPath.clear();
    pty->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty->master < 0) {
        fprintf(stderr, "%s: error: posix_openpt failed: %s\n", lineToolName, strerror(errno));
        return 0;
    }
    if (grantpt(pty->master) != 0) {
        fprintf(stderr, "%s: error: grantpt failed: %s\n", lineToolName, strerror(errno));
        return 0;
    }
    if (unlockpt(pty->master) != 0) {
        fprintf(stderr, "%s: error: unlockpt failed: %s\n", lineToolName, strerror(errno));
        return 0;
    }
    int result = ptsname_r(pty->master, pty->slavePath, sizeof pty->slavePath);
    if (result != 0) {
        fprintf(stderr, "%s: error: ptsname_r failed: %s\n", lineToolName, strerror(result));
        return 0;
    }
    if (!SetRawLine(pty->master, "the pty"))
        return 0;
    // A master whose slave was never opened does not poll as hung up, so open
    // and close the slave once: from then on POLLHUP means "nobody there".
    int slave = open(pty->slavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        fprintf(stderr, "%s: error: open %s failed: %s\n", lineToolName, pty->slavePath, strerror(errno));
        return 0;
    }
    if (close(slave) != 0) {
        fprintf(stderr, "%s: error: close %s failed: %s\n", lineToolName, pty->slavePath, strerror(errno));
        return 0;
    }
    return SetNonBlocking(pty->master, "the pty master");
}

int LinkLinePty(LinePty *pty, const char *path)
{
    struct stat info;
    if (lstat(path, &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            fprintf(stderr, "%s: error: %s exists and is not a symlink; not replacing it\n", lineToolName, path);
            return 0;
        }
    } else if (errno != ENOENT) {
        fprintf(stderr, "%s: error: lstat %s failed: %s\n", lineToolName, path, strerror(errno));
        return 0;
    }
    std::string temporary = std::string(path) + "." + lineToolName + "-" + std::to_string((long)getpid());
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        fprintf(stderr, "%s: error: unlink %s failed: %s\n", lineToolName, temporary.c_str(), strerror(errno));
        return 0;
    }
    if (symlink(pty->slavePath, temporary.c_str()) != 0) {
        fprintf(stderr, "%s: error: symlink %s -> %s failed: %s\n", lineToolName, temporary.c_str(),
                pty->slavePath, strerror(errno));
        return 0;
    }
    if (rename(temporary.c_str(), path) != 0) {
        fprintf(stderr, "%s: error: rename %s to %s failed: %s\n", lineToolName, temporary.c_str(), path,
                strerror(errno));
        if (unlink(temporary.c_str()) != 0)
            fprintf(stderr, "%s: error: unlink %s failed: %s\n", lineToolName, temporary.c_str(), strerror(errno));
        return 0;
    }
    pty->linkPath = path;
    return 1;
}

void UnlinkLinePty(LinePty *pty)
{
    if (pty->linkPath.empty())
        return;
    const char *path = pty->linkPath.c_str();
    char target[sizeof pty->slavePath];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0) {
        fprintf(stderr, "%s: error: readlink %s failed: %s\n", lineToolName, path, strerror(errno));
    } else {
        target[n] = '\0';
        if (strcmp(target, pty->slavePath) != 0)
            fprintf(stderr, "%s: error: %s now points to %s; leaving it\n", lineToolName, path, target);
        else if (unlink(path) != 0)
            fprintf(stderr, "%s: error: unlink %s failed: %s\n", lineToolName, path, strerror(errno));
    }
    pty->linkPath.clear();
}

void CloseLinePty(LinePty *pty)
{
    UnlinkLinePty(pty);
    if (pty->master >= 0 && close(pty->master) != 0)
        fprintf(stderr, "%s: error: close of the pty master failed: %s\n", lineToolName, strerror(errno));
    pty->master = -1;
}

int HasPtyClient(const LinePty *pty)
{
    struct pollfd probe = { pty->master, POLLIN, 0 };
    if (poll(&probe, 1, 0) < 0) {
        if (errno != EINTR)
            fprintf(stderr, "%s: error: poll on the pty failed: %s\n", lineToolName, strerror(errno));
        return 0;
    }
    return !(probe.revents & POLLHUP);
}
