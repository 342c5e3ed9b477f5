// The relay loop: one thread, a ppoll() over the signal pipe, the device (the
// box's side) and the pty master (the PC's side), forwarding every byte both
// ways as it comes, unchanged, and handing each chunk to the trace after it
// was sent on. The PC's program may close and reopen its end at any time;
// with nobody there the master polls as hung up, so it is then left out of
// the poll and looked at again every RELAY_CLIENT_RECHECK_S.
// A sleeping poll wakes about 0.1 ms late here: so the loop polls awake
// (yielding the core) from just before the bytes sent to the box are off the
// line until its answer has had a few ms. It does not wait so for the PC's
// answer: on two cores a spinning relay can keep the PC's program off the
// core it needs to answer (seen as 3 to 5 ms turnarounds).
#ifndef TESSEL_TRACE_RELAY_H
#define TESSEL_TRACE_RELAY_H

#include "line/pty.h"
#include "trace/trace.h"

#include <cstdint>
#include <vector>

struct RelayQueue {
    std::vector<uint8_t> bytes;   // waiting for their side to take them
    size_t head;
};

struct Relay {
    LinePty pty;                  // the PC's side, linked where its program opens it
    int device;                   // the box's side
    const char *devicePath;
    int signals;                  // read end of the signal pipe
    double holdSeconds;           // each chunk is held this long before it is written
    int clientPresent;
    double lineFreeAt;            // when the bytes sent to the box are off a 115200 8N1 line
    RelayQueue toBox;
    RelayQueue toPc;
    TraceFile trace;
};

// Relays until SIGINT or SIGTERM (1), or until the device is gone or the
// loop fails (0, after a message on stderr and a note in the trace).
int RunRelay(Relay *relay);

#endif
