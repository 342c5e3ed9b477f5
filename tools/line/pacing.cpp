// Software pacing of one line direction; see pacing.h.
#include "pacing.h"

void StartPace(LinePace *pace, double bytesPerSecond)
{
    pace->byteSeconds = 1.0 / bytesPerSecond;
    pace->runStart = 0.0;
    pace->runCount = 0;
    pace->lastDue = 0.0;
}

// Counted from the start of the run, so a long run gathers no rounding error.
double PaceByte(LinePace *pace, double now)
{
    if (pace->runCount == 0 || now > pace->lastDue) {
        pace->runStart = now;
        pace->runCount = 0;
    }
    pace->runCount++;
    pace->lastDue = pace->runStart + (double)pace->runCount * pace->byteSeconds;
    return pace->lastDue;
}
