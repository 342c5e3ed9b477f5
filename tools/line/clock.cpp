// Monotonic time for the line tools; see clock.h.
#include "clock.h"
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

double ReadClock(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        fprintf(stderr, "%s: error: clock_gettime failed: %s\n", lineToolName, strerror(errno));
        exit(1);
    }
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

void WaitUntil(double target)
{
    double sleepUntil = target - LINE_SPIN_SECONDS;
    if (sleepUntil > ReadClock()) {
        struct timespec until;
        until.tv_sec = (time_t)sleepUntil;
        until.tv_nsec = (long)((sleepUntil - (double)until.tv_sec) * 1e9);
        int result;
        while ((result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr)) == EINTR) {
        }
        if (result != 0)
            fprintf(stderr, "%s: error: clock_nanosleep failed: %s\n", lineToolName, strerror(result));
    }
    while (ReadClock() < target) {
    }
}

double EarlierDue(double a, double b)
{
    if (a < 0.0)
        return b;
    if (b < 0.0)
        return a;
    return a < b ? a : b;
}

struct timespec MakeTimespec(double seconds)
{
    struct timespec span = { 0, 0 };
    if (seconds > 0.0) {
        span.tv_sec = (time_t)seconds;
        span.tv_nsec = (long)((seconds - (double)span.tv_sec) * 1e9);
    }
    return span;
}
