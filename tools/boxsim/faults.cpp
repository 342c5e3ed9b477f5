// The faults boxsim injects on request, each once: acks dropped, delayed or
// led by stray bytes, and a block rejected though it was good. --slow
// delays every ack byte; the transfer sends the acks as planned here.
#include "boxsim/box.h"

#include <cstring>

static const uint8_t BOX_STRAY[4] = { 0x00, 0x41, 0x0D, 0x11 };

static void addAckStep(int withStray)
{
    AckStep *step = &box.acks[box.ackCount++];
    step->delayMs = boxOptions.slowMs;
    step->length = 0;
    if (withStray) {
        memcpy(step->bytes, BOX_STRAY, sizeof BOX_STRAY);
        step->length = (int)sizeof BOX_STRAY;
    }
    step->bytes[step->length++] = BOX_ACK;
}

// Plans the acks of good block n: two, unless a fault set for it drops one
// or both, puts stray bytes before each, or holds the first one back.
void PlanAcks(int n)
{
    int stray = 0;
    box.ackCount = 0;
    box.ackPos = 0;
    box.ackDue = 0.0;
    if (boxOptions.strayBlock == n && !box.strayUsed) {
        box.strayUsed = 1;
        stray = 1;
        Report("event=stray block=%d", n);
    }
    if (boxOptions.dropAllAcksBlock == n && !box.dropAllAcksUsed) {
        box.dropAllAcksUsed = 1;
        Report("event=drop-all-acks block=%d", n);
    } else if (boxOptions.dropAckBlock == n && !box.dropAckUsed) {
        box.dropAckUsed = 1;
        Report("event=drop-ack block=%d", n);
        addAckStep(stray);
    } else {
        addAckStep(stray);
        addAckStep(stray);
    }
    if (boxOptions.lateAckBlock == n && !box.lateAckUsed && box.ackCount > 0) {
        box.lateAckUsed = 1;
        box.acks[0].delayMs += boxOptions.lateAckMs;
        Report("event=late-ack block=%d ms=%d", n, boxOptions.lateAckMs);
    }
}

int IsRejectInjected(int n)
{
    if (boxOptions.rejectBlock != n || box.rejectUsed)
        return 0;
    box.rejectUsed = 1;
    return 1;
}
