// The traced build's time stamps (serial/steptrace.h): kept in memory,
// written to TESSEL_STEP_TRACE_FILE when the program ends, one "microseconds step count last-byte" line each. Steps: E the event
// wait ended, N a one-byte read ended, R a ReadPort handed bytes on, L and l
// the look right behind began and ended, U and u a repaint began and ended,
// G the gather pause began, P the pause after nothing began, S and W a write
// began and ended.
// Notes come from the reader thread and, for writes, the user-interface
// thread too: each takes its slot by one atomic add, so none is lost or torn.
#include "serial/steptrace.h"
#include "app/sharedword.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>

#define STEP_LIMIT (1 << 21)

struct Step {
    LONGLONG at;
    char step;
    unsigned count, lastByte;
};

static Step steps[STEP_LIMIT];
static SharedWord stepCount;

static LONGLONG microsecondsNow(void)
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000000 / frequency.QuadPart;
}

static void writeSteps(void)
{
    const char *path = getenv("TESSEL_STEP_TRACE_FILE");
    FILE *file = path ? fopen(path, "w") : nullptr;
    if (!file)
        return;
    int32_t count = stepCount < STEP_LIMIT ? int32_t(stepCount) : STEP_LIMIT;
    for (int32_t i = 0; i < count; i++)
        fprintf(file, "%lld %c %u %u\n", steps[i].at, steps[i].step, steps[i].count, steps[i].lastByte);
    fclose(file);
}

void NoteStep(char step, unsigned count, unsigned lastByte)
{
    int32_t at = stepCount.fetch_add(1);
    if (at == 0)
        atexit(writeSteps);
    if (at >= STEP_LIMIT)
        return;
    steps[at].at = microsecondsNow();
    steps[at].step = step;
    steps[at].count = count;
    steps[at].lastByte = lastByte;
}
