// Pacing one direction of a serial line in software: each byte handed over
// is given the time its last bit leaves the wire at a fixed byte rate. Byte
// k of a continuous run is due k byte times after the run began; once the
// last byte is due the line is idle and the next byte starts a new run, so
// idle time is never saved up as credit for a later burst.
#ifndef TESSEL_LINE_PACING_H
#define TESSEL_LINE_PACING_H

#define LINE_BYTES_PER_SECOND 11520.0   // 115200 baud, ten bits a byte (8N1): 86.8 us a byte

struct LinePace {
    double byteSeconds;
    double runStart;
    long long runCount;
    double lastDue;       // when the last byte handed over is off the wire; 0 before any
};

void StartPace(LinePace *pace, double bytesPerSecond);
// When a byte handed to the line at `now` is off the wire.
double PaceByte(LinePace *pace, double now);

#endif
