// The faults boxsim injects on request, each once: acks dropped, delayed or
// led by stray bytes, a block rejected though it was good, a handshake again
// after acks left out or after a completed load. --slow delays every ack
// byte and --chatter puts boot log text before every block's acks; the
// transfer sends the acks as planned here.
#include "boxsim/box.h"
#include "line/clock.h"

#include <cstdio>
#include <cstring>

// Log lines as a box's firmware prints them while it writes flash: plain
// text, no prompt, nothing a host could take for an ack or a reject.
static void sendChatter(int n)
{
    static unsigned lineNumber = 0;
    int left = boxOptions.chatterBytes;
    while (left > 0) {
        char line[64];
        int length = snprintf(line, sizeof line, "[%5u.%03u] flash: block %d erased, %u written\r\n",
                              lineNumber / 1000, lineNumber % 1000, n, lineNumber);
        lineNumber++;
        if (length > left)
            length = left;
        SendBytes((const uint8_t *)line, (size_t)length);
        left -= length;
    }
    if (!box.chatterReported) {
        box.chatterReported = 1;
        Report("event=chatter bytes=%d", boxOptions.chatterBytes);
    }
}

static void addAckStep(int withStray)
{
    AckStep *step = &box.acks[box.ackCount++];
    step->delayMs = boxOptions.slowMs;
    step->length = 0;
    if (withStray) {
        memcpy(step->bytes, FAULT_STRAY, sizeof FAULT_STRAY);
        step->length = (int)sizeof FAULT_STRAY;
    }
    step->bytes[step->length++] = PROTOCOL_ACK;
}

// Plans the acks of good block n: two, unless a fault set for it drops one
// or both, puts stray bytes before each, or holds the first one back.
void PlanAcks(int n)
{
    int stray = 0;
    box.ackCount = 0;
    box.ackPos = 0;
    box.ackDue = 0.0;
    if (faultOptions.strayBlock == n && !box.strayUsed) {
        box.strayUsed = 1;
        stray = 1;
        Report("event=stray block=%d", n);
    }
    if (boxOptions.chatterBytes > 0)
        sendChatter(n);
    int dropped = 1;
    if (faultOptions.dropAllAcksBlock == n && !box.dropAllAcksUsed) {
        box.dropAllAcksUsed = 1;
        Report("event=drop-all-acks block=%d", n);
    } else if (faultOptions.dropAckBlock == n && !box.dropAckUsed) {
        box.dropAckUsed = 1;
        Report("event=drop-ack block=%d", n);
        addAckStep(stray);
    } else {
        dropped = 0;
        addAckStep(stray);
        addAckStep(stray);
        if (faultOptions.strayBetween) {   // in the second ack's write, before its ack
            AckStep *second = &box.acks[1];
            memmove(second->bytes + 1, second->bytes, (size_t)second->length);
            second->bytes[0] = FAULT_STRAY[0];
            second->length++;
        }
    }
    if (dropped && boxOptions.rehandshakeAfterMs > 0)
        box.rehandshakeDue = box.eventTime + boxOptions.rehandshakeAfterMs / 1000.0;
    if (faultOptions.lateAckBlock == n && !box.lateAckUsed && box.ackCount > 0) {
        box.lateAckUsed = 1;
        box.acks[0].delayMs += faultOptions.lateAckMs;
        Report("event=late-ack block=%d ms=%d", n, faultOptions.lateAckMs);
    }
}

int IsRejectInjected(int n)
{
    if (faultOptions.rejectBlock != n || box.rejectUsed)
        return 0;
    box.rejectUsed = 1;
    return 1;
}

void PlanLateHandshake(double now)
{
    if (boxOptions.lateHandshakeMs >= 0 && !box.lateHandshakeUsed)
        box.lateHandshakeDue = now + boxOptions.lateHandshakeMs / 1000.0;
}

// The handshake again, as a box does that asks for data once more: what
// the host does with it (nothing, or "event=go-ahead" and what follows) is
// in the log. After acks left out it comes in whatever state the load is
// in; after a completed load only from the monitor (not once it rebooted).
void RunFaultTimers(double now)
{
    if (box.rehandshakeDue > 0.0 && now >= box.rehandshakeDue) {
        box.rehandshakeDue = 0.0;
        FlushIgnored();
        if (InTransfer()) {
            Report("event=abandon reason=rehandshake state=%s", BOX_STATE_NAMES[box.state]);
            box.lastSendTime = box.txDrainTime;
            PrintVerdict("incomplete", now);
        }
        Report("event=rehandshake");
        StartHandshake(now);
    }
    if (box.lateHandshakeDue > 0.0 && now >= box.lateHandshakeDue) {
        box.lateHandshakeDue = 0.0;
        box.lateHandshakeUsed = 1;
        FlushIgnored();
        if (box.state != BOX_STATE_MONITOR) {
            Report("event=late-handshake-skipped state=%s", BOX_STATE_NAMES[box.state]);
            return;
        }
        Report("event=late-handshake");
        StartHandshake(now);
    }
}

double FaultTimerDue(void)
{
    double due = box.rehandshakeDue > 0.0 ? box.rehandshakeDue : -1.0;
    return box.lateHandshakeDue > 0.0 ? EarlierDue(due, box.lateHandshakeDue) : due;
}
