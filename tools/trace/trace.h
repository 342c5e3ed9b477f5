// The trace file of the relay. After one comment line, one line per burst:
//   TIME DIR COUNT HEX | TEXT
// TIME is ms since the relay started (when the burst's first byte was read),
// DIR is pc>box or box>pc, TEXT shows printable bytes and '.' for the rest.
// A burst is one direction's bytes with no gap over TRACE_GAP_SECONDS and no
// byte of the other direction between, at most TRACE_LINE_BYTES a line. The
// blocks of an upload are one line each instead (see follower.h):
//   TIME pc>box block N: DATA + 4 bytes, checksum 0xXXXXXXXX
// and "TIME note TEXT" lines say what happened to the line itself.
#ifndef TESSEL_TRACE_TRACE_H
#define TESSEL_TRACE_TRACE_H

#include "trace/follower.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// 23 byte times at 115200 8N1: a pause no block, banner or answer has inside,
// but more than one write of a byte costs under Wine.
#define TRACE_GAP_SECONDS 0.002
#define TRACE_LINE_BYTES  256

#define TRACE_PC_TO_BOX 0
#define TRACE_BOX_TO_PC 1

struct TraceFile {
    FILE *file;
    const char *path;
    double start;
    int direction;                   // of the open burst
    size_t count;                    // bytes in the open burst, 0 for none
    double first;                    // when its first byte was read
    double last;                     // and its last
    uint8_t bytes[TRACE_LINE_BYTES];
    BlockFollower follower;
    double blockStart;               // when the current block's first byte was read
    int failed;
};

int OpenTrace(TraceFile *trace, const char *path, const char *link, const char *device, double start);
// Bytes read at `now` from one side, in the order they were read.
void TraceBytes(TraceFile *trace, int direction, const uint8_t *bytes, size_t count, double now);
void TraceNote(TraceFile *trace, double now, const char *text);
// When the open burst ends by its gap; -1 if none is open.
double TraceBurstEnd(const TraceFile *trace);
// Writes the open burst once its gap has passed.
void EndQuietBurst(TraceFile *trace, double now);
// Writes what is still open and closes the file; 0 if the file could not be written.
int CloseTrace(TraceFile *trace);

#endif
