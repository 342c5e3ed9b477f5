// The load as boxsim plays it: the handshake and the host's answer, the
// go-ahead, the length, each block with its checksum and the two acks for
// it (planned in faults.cpp), the reject, the time-outs, and the end of the
// transfer with its verdict. A byte that comes while acks are still due
// waits in the input queue (the main loop offers it again).
#include "boxsim/box.h"

#include <cstring>

int InTransfer(void)
{
    return box.state == BOX_STATE_HANDSHAKE || box.state == BOX_STATE_LENGTH ||
           box.state == BOX_STATE_BLOCK || box.state == BOX_STATE_ACKING;
}

void ResetTransfer(void)
{
    box.handshakeMatch = 0;
    box.lengthFill = 0;
    box.lengthKnown = 0;
    box.length = 0;
    box.image.clear();
    box.received = 0;
    box.blocksAcked = 0;
    box.checksumErrors = 0;
    box.blockIndex = 0;
    box.ackCount = 0;
    box.ackPos = 0;
    box.ackDue = 0.0;
    box.goAheadTime = 0.0;
    box.lastSendTime = 0.0;
    box.goAheadMarkActive = 0;
    box.blockEndTime = 0.0;
    box.ackEndMarkActive = 0;
    box.ackEndTime = 0.0;
    box.turnarounds.clear();
    box.turnaroundEnds.clear();
    box.ackHolds.clear();
}

void StartHandshake(double now)
{
    ResetTransfer();
    SendBytes(PROTOCOL_HANDSHAKE, sizeof PROTOCOL_HANDSHAKE);
    box.state = BOX_STATE_HANDSHAKE;
    box.handshakeDeadline = now + boxOptions.handshakeWaitMs / 1000.0 +
                            (boxOptions.pace ? (double)PendingTx() / LINE_BYTES_PER_SECOND : 0.0);
    Report("event=handshake");
}

static void reject(uint8_t byte, const char *reason, double now)
{
    Report("event=reject block=%u byte=0x%02X reason=%s", box.blockIndex, byte, reason);
    SendByte(byte);
    box.lastSendTime = now;
    PrintVerdict("rejected", now);
    BackToMonitor();
    if (faultOptions.rehandshake)
        StartHandshake(now);
}

static void complete(double now)
{
    box.lastSendTime = box.txDrainTime > 0.0 ? box.txDrainTime : now;
    if (boxOptions.outPath) {
        if (WriteImage(boxOptions.outPath, box.image, box.received))
            Report("event=image-written path=%s bytes=%u", boxOptions.outPath, box.received);
        else
            Report("event=image-write-failed path=%s", boxOptions.outPath);
    }
    PrintVerdict("complete", now);
    BackToMonitor();
    PlanLateHandshake(now);
}

static void startBlock(double now)
{
    box.blockIndex++;
    uint32_t remaining = box.length - box.received;
    box.blockLength = remaining < BLOCK_SIZE ? remaining : BLOCK_SIZE;
    box.blockFill = 0;
    box.blockSum = 0;
    box.checksum = 0;
    box.checksumFill = 0;
    box.waitSince = now;
    box.state = BOX_STATE_BLOCK;
}

// A good block: plan its two acks, bent by whichever fault is set for it.
static void acceptBlock(void)
{
    box.received += box.blockLength;
    box.blocksAcked++;
    PlanAcks((int)box.blockIndex);
    box.state = BOX_STATE_ACKING;
}

static void endBlock(double now)
{
    if (IsRejectInjected((int)box.blockIndex)) {
        reject((uint8_t)faultOptions.rejectByte, "injected", now);
        return;
    }
    if (box.checksum != box.blockSum) {
        box.checksumErrors++;
        Report("event=checksum-error block=%u sent=0x%08x summed=0x%08x", box.blockIndex, box.checksum,
               box.blockSum);
        reject(PROTOCOL_REJECT1, "checksum", now);
        return;
    }
    box.blockEndTime = now;
    acceptBlock();
}

// Sends the planned ack steps one after the other, each its delay after the
// previous one is out: paced, after it finished on the line (the block for
// the first), so a late wake-up delays nothing; unpaced, after it was
// written. When all are out, the next block or the end of the transfer follows.
static void stepAcks(double now)
{
    while (box.ackPos < box.ackCount) {
        AckStep *step = &box.acks[box.ackPos];
        if (box.ackDue == 0.0) {
            double after = now;
            if (boxOptions.pace)
                after = box.ackPos == 0 ? box.blockEndTime : box.txPace.lastDue;
            else if (PendingTx() > 0)
                return;
            box.ackDue = after + step->delayMs / 1000.0;
        }
        if (now < box.ackDue)
            return;
        box.eventTime = boxOptions.pace ? box.ackDue : now;
        SendBytes(step->bytes, (size_t)step->length);
        box.eventTime = now;
        box.ackDue = 0.0;
        box.ackPos++;
        if (box.ackPos == box.ackCount) {
            box.ackEndMarkActive = 1;
            box.ackEndMark = box.txQueuedTotal;
            if (boxOptions.adapterLatencyMs > 0 && step->length > 0)
                box.ackHolds.push_back(box.txDue.back() - box.txPace.lastDue);
        }
        FlushTx(now);
    }
    if (PendingTx() > 0)
        return;
    box.lastSendTime = box.ackCount > 0 ? box.txDrainTime : now;
    if (box.received >= box.length)
        complete(now);
    else
        startBlock(now);
}

// A byte from the host during a transfer: the handshake's answer, the
// length, a block's data and checksum.
void HandleTransferByte(uint8_t byte, double now)
{
    switch (box.state) {
    case BOX_STATE_HANDSHAKE:
        if (byte == PROTOCOL_ACK) {
            box.handshakeMatch = 1;
        } else if (byte == PROTOCOL_REPLY && box.handshakeMatch) {
            FlushIgnored();
            SendByte(PROTOCOL_ACK);
            box.goAheadMarkActive = 1;
            box.goAheadMark = box.txQueuedTotal;
            box.state = BOX_STATE_LENGTH;
            box.waitSince = now;
            Report("event=go-ahead");
        } else {
            if (box.handshakeMatch)
                NoteIgnored(PROTOCOL_ACK);
            box.handshakeMatch = 0;
            NoteIgnored(byte);
        }
        return;
    case BOX_STATE_LENGTH:
        box.waitSince = now;
        box.lengthBytes[box.lengthFill++] = byte;
        if (box.lengthFill == LENGTH_BYTES) {
            box.length = ((uint32_t)box.lengthBytes[0] << 24) | ((uint32_t)box.lengthBytes[1] << 16) |
                         ((uint32_t)box.lengthBytes[2] << 8) | (uint32_t)box.lengthBytes[3];
            box.lengthKnown = 1;
            Report("event=length bytes=%u", box.length);
            if (box.length > BOX_MAX_LENGTH) {
                reject(PROTOCOL_REJECT1, "length-too-big", now);
            } else if (box.length == 0) {
                complete(now);
            } else {
                box.image.assign(box.length, 0);
                startBlock(now);
            }
        }
        return;
    case BOX_STATE_BLOCK:
        box.waitSince = now;
        if (box.blockFill == 0 && box.checksumFill == 0 && box.ackEndTime > 0.0) {
            box.turnarounds.push_back(box.byteArrival - box.ackEndTime);
            if (boxOptions.blockTimesPath) {
                box.turnaroundEnds.push_back(box.ackEndTime);
                box.turnaroundEnds.push_back(box.byteArrival);
            }
            box.ackEndTime = 0.0;
        }
        if (box.blockFill < box.blockLength) {
            box.image[box.received + box.blockFill] = byte;
            box.blockFill++;
            box.blockSum += byte;
        } else {
            box.checksum = (box.checksum << 8) | byte;
            box.checksumFill++;
            if (box.checksumFill == CHECKSUM_BYTES)
                endBlock(now);
        }
        return;
    default:
        return;
    }
}

void RunTransferTimers(double now)
{
    if (box.state == BOX_STATE_HANDSHAKE && now >= box.handshakeDeadline) {
        FlushIgnored();
        Report("event=no-host");
        SendText("\r\nno host\r\n");
        SendText(boxOptions.prompt);
        box.state = BOX_STATE_MONITOR;
        PrintVerdict("incomplete", now);
    }
    if ((box.state == BOX_STATE_LENGTH || box.state == BOX_STATE_BLOCK) &&
        now - box.waitSince >= boxOptions.rxTimeoutMs / 1000.0) {
        FlushIgnored();
        Report("event=abandon reason=rx-timeout state=%s block=%u", BOX_STATE_NAMES[box.state], box.blockIndex);
        PrintVerdict("incomplete", now);
        BackToMonitor();
    }
    if (box.state == BOX_STATE_ACKING)
        stepAcks(now);
}
