// boxsim's end of the line: the bytes to the host, queued and, paced, held
// until they have finished on the line; the bytes from the host, stamped
// when they came and, paced, when they are off the line; and whether any
// program has the other end open.
#include "boxsim/box.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

// Queues bytes for the host; a silent box swallows them. Paced, each byte
// finishes on the line one byte time after the event or the byte before it,
// whichever is later: an idle line saves up no credit. Through the adapter
// it is written when the adapter would hand it to the PC.
void SendBytes(const uint8_t *bytes, size_t count)
{
    if (boxOptions.silent || count == 0)
        return;
    if (box.tx.size() - box.txHead + count > BOX_TX_LIMIT) {
        Report("event=tx-overflow dropped=%zu", count);
        return;
    }
    if (box.txHead > 0 && box.txHead == box.tx.size()) {
        box.tx.clear();
        box.txDue.clear();
        box.txHead = 0;
    }
    box.tx.insert(box.tx.end(), bytes, bytes + count);
    box.txQueuedTotal += count;
    if (boxOptions.pace) {
        for (size_t i = 0; i < count; i++) {
            int alsoEarlier = 0;
            double release = AdapterRelease(&box.adapter, PaceByte(&box.txPace, box.eventTime), &alsoEarlier);
            // A packet that filled takes its earlier bytes along (those still waiting).
            size_t waiting = box.txDue.size() - box.txHead;
            size_t moved = (size_t)alsoEarlier < waiting ? (size_t)alsoEarlier : waiting;
            for (size_t k = box.txDue.size() - moved; k < box.txDue.size(); k++)
                box.txDue[k] = release;
            box.txDue.push_back(release);
        }
    }
}

void SendText(const char *text)
{
    SendBytes((const uint8_t *)text, strlen(text));
}

void SendByte(uint8_t byte)
{
    SendBytes(&byte, 1);
}

size_t PendingTx(void)
{
    return box.tx.size() - box.txHead;
}

// Writes what may go out now; paced, only bytes that have finished on the line.
void FlushTx(double now)
{
    size_t pending = PendingTx();
    if (pending == 0)
        return;
    size_t allowed = pending;
    if (boxOptions.pace) {
        allowed = 0;
        while (allowed < pending && box.txDue[box.txHead + allowed] <= now)
            allowed++;
        if (allowed == 0)
            return;
    }
    ssize_t written = write(box.pty.master, box.tx.data() + box.txHead, allowed);
    if (written < 0) {
        if (errno == EAGAIN) {
            box.txBlocked = 1;
            return;
        }
        if (errno == EINTR)
            return;
        if (errno == EIO) {
            // Nobody has the slave open: like a line with no listener, the bytes are gone.
            written = (ssize_t)allowed;
        } else {
            fprintf(stderr, "boxsim: error: write to the pty failed: %s\n", strerror(errno));
            return;
        }
    }
    box.txBlocked = 0;
    box.txHead += (size_t)written;
    box.txWrittenTotal += (uint64_t)written;
    if (box.goAheadMarkActive && box.txWrittenTotal >= box.goAheadMark) {
        box.goAheadMarkActive = 0;
        box.goAheadTime = now;
    }
    if (box.ackEndMarkActive && box.txWrittenTotal >= box.ackEndMark) {
        box.ackEndMarkActive = 0;
        box.ackEndTime = now;
    }
    if (PendingTx() == 0) {
        box.tx.clear();
        box.txDue.clear();
        box.txHead = 0;
        box.txDrainTime = now;
    }
}

// With nobody on the slave the master polls as hung up for good, so it is
// left out of the main poll and looked at again every few milliseconds.
void CheckClient(void)
{
    if (box.clientPresent || !HasPtyClient(&box.pty))
        return;
    box.clientPresent = 1;
    Report("event=client-open");
}

void ClientGone(void)
{
    if (!box.clientPresent)
        return;
    box.clientPresent = 0;
    Report("event=client-closed");
}

// Reads all the host has sent, so each byte is stamped when it reached the
// pty. Paced, a byte is off the line one byte time after its arrival or the
// byte before it, whichever is later, so no pause of the host is hidden.
void ReadMaster(double now)
{
    static uint8_t buffer[BOX_RX_LIMIT];
    size_t room = BOX_RX_LIMIT - box.rx.size();
    if (room == 0)
        return;
    ssize_t n = read(box.pty.master, buffer, room);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        if (errno == EIO) {
            ClientGone();
            return;
        }
        fprintf(stderr, "boxsim: error: read from the pty failed: %s\n", strerror(errno));
        return;
    }
    if (n == 0) {
        ClientGone();
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        RxByte byte = { buffer[i], now, now };
        if (boxOptions.pace)
            byte.due = PaceByte(&box.rxPace, now);
        box.rx.push_back(byte);
    }
}
