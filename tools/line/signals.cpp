// Signals delivered through a pipe; see signals.h.
#include "signals.h"
#include "names.h"
#include "tty.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <signal.h>
#include <unistd.h>

static int signalWriteFd = -1;

static void onSignal(int number)
{
    int saved = errno;
    unsigned char byte = (unsigned char)number;
    if (write(signalWriteFd, &byte, 1) < 0) {
        // Pipe full: a signal of the same kind is already waiting.
    }
    errno = saved;
}

int OpenSignalPipe(const int *numbers, int count)
{
    int ends[2];
    if (pipe(ends) != 0) {
        fprintf(stderr, "%s: error: pipe failed: %s\n", lineToolName, strerror(errno));
        return -1;
    }
    if (!SetNonBlocking(ends[0], "the signal pipe") || !SetNonBlocking(ends[1], "the signal pipe"))
        return -1;
    signalWriteFd = ends[1];
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < count; i++) {
        if (sigaction(numbers[i], &action, nullptr) != 0) {
            fprintf(stderr, "%s: error: sigaction(%d) failed: %s\n", lineToolName, numbers[i], strerror(errno));
            return -1;
        }
    }
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        fprintf(stderr, "%s: error: sigaction(SIGPIPE) failed: %s\n", lineToolName, strerror(errno));
        return -1;
    }
    return ends[0];
}
