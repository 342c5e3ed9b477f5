// The line tools' clock: monotonic seconds as a double (a byte on the line
// lasts 87 us, far above its resolution), a wait that ends on time rather
// than a timer's lateness after it, and the timespec that ppoll() takes.
#ifndef TESSEL_LINE_CLOCK_H
#define TESSEL_LINE_CLOCK_H

#include <time.h>

#define LINE_SPIN_SECONDS 0.0003   // timers wake about 0.1 ms late here: the rest is waited out awake

// Seconds on the monotonic clock; a clock that cannot be read ends the process.
double ReadClock(void);
// Sleeps until LINE_SPIN_SECONDS before target, then waits the rest out awake.
void WaitUntil(double target);
// The earlier of two due times, where a negative one means "none".
double EarlierDue(double a, double b);
// A ppoll() timeout of that many seconds, none below zero.
struct timespec MakeTimespec(double seconds);

#endif
