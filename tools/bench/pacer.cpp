// pacer: two pseudo-terminals joined by a line paced like a real UART, so
// serial tools on either end see wire timing instead of a pty's instant copy.
//   pacer --a PATH --b PATH [--rate BYTES_PER_SECOND] [--adapter-latency MS]
// PATH are symlinks to the slaves, removed on exit while still ours. With
// --adapter-latency, A (the sender, the PC's side) gets B's bytes through a
// USB adapter's hold (line/adapter.h). On exit it prints when the
// first 1 KiB block and the last EOT crossed from A to B, for the benchmark,
// and the turnarounds it saw: the sender's, from an ACK's delivery to A until
// the next block reached the pacer, and the receiver's, from a block's
// delivery to B until its ACK reached the pacer; through the adapter also
// how long it held each ACK.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "line/adapter.h"
#include "line/spread.h"
#include "line/args.h"
#include "line/clock.h"
#include "line/names.h"
#include "line/pacing.h"
#include "line/pty.h"
#include "line/signals.h"

#define PACER_QUEUE_LIMIT 4096        // like a UART's transmit buffer: the writer waits beyond it
#define PACER_CHUNK       64          // most bytes handed to a master in one write
#define PACER_QUIET_S     0.01        // a hung-up end is left alone this long before polling it again
#define PACER_BATCH_S     0.001       // a byte with more behind it may be handed over this late
#define PACER_STX         0x02
#define PACER_SOH         0x01
#define PACER_EOT         0x04
#define PACER_ACK         0x06
#define PACER_STX_REST    1028        // block number, its complement, 1024 data, 2 CRC
#define PACER_SOH_REST    132         // the same with 128 data

struct PacerLink {
    LinePty pty;
    int hold;                 // our own slave descriptor, so a client closing it causes no hangup
    double quietUntil;
};

struct PacerByte {
    unsigned char value;
    double due;               // when it may be handed over: its last bit has left the wire (and the adapter let it go)
    double offLine;           // when its last bit has left the wire
};

struct PacerLane {
    std::deque<PacerByte> bytes;
    LinePace pace;
    LineAdapter adapter;      // a period of 0 on a lane without one
    int blocked;              // the receiving master is full: wait for POLLOUT
    uint64_t relayed;
};

// A->B framing, to time the data phase. It is approximate on purpose: it
// assumes CRC blocks and that a frame is never cut short, which holds for a
// clean line; after a frame's length it looks at the next byte afresh.
struct PacerFrames {
    int64_t remaining;
    double firstBlock;
    double lastEot;
    int inBlock;              // the frame being followed is a 1 KiB block
};

// Both ends' turnarounds, in seconds. Frames are followed twice: as bytes reach
// the pacer from A, and as they are delivered to B.
struct PacerTiming {
    PacerFrames arrived;
    PacerFrames delivered;
    double ackDelivered;        // last ACK handed to A, -1 once a block followed
    double blockDelivered;      // last byte of a block handed to B, -1 once acked
    std::vector<double> sender;
    std::vector<double> receiver;
    std::vector<double> ackHolds;   // through the adapter, each ACK's wait in it
};

// A pty of ours for one end, with the slave held open, linked at path.
static int openLink(PacerLink &link, const char *path)
{
    if (!OpenLinePty(&link.pty))
        return 0;
    link.hold = open(link.pty.slavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (link.hold < 0) {
        fprintf(stderr, "pacer: error: open %s failed: %s\n", link.pty.slavePath, strerror(errno));
        return 0;
    }
    return LinkLinePty(&link.pty, path);
}

static void closeLink(PacerLink &link)
{
    CloseLinePty(&link.pty);
    if (link.hold >= 0)
        close(link.hold);
}

// Each byte is due when it is off the line, or, through the adapter, when the
// adapter lets it go; a packet that filled takes its earlier bytes along.
static void scheduleBytes(PacerLane &lane, const unsigned char *data, ssize_t count, double now)
{
    for (ssize_t i = 0; i < count; i++) {
        double offLine = PaceByte(&lane.pace, now);
        int alsoEarlier = 0;
        double due = AdapterRelease(&lane.adapter, offLine, &alsoEarlier);
        size_t moved = (size_t)alsoEarlier < lane.bytes.size() ? (size_t)alsoEarlier : lane.bytes.size();
        for (size_t k = lane.bytes.size() - moved; k < lane.bytes.size(); k++)
            lane.bytes[k].due = due;
        lane.bytes.push_back(PacerByte{ data[i], due, offLine });
    }
}

// Follows one byte through the framing: 1 when it starts a 1 KiB block, 2
// when it ends one, else 0.
static int trackFrame(PacerFrames &frames, unsigned char value, double at)
{
    if (frames.remaining > 0) {
        frames.remaining--;
        if (frames.remaining > 0 || !frames.inBlock)
            return 0;
        frames.inBlock = 0;
        return 2;
    }
    if (value == PACER_STX) {
        if (frames.firstBlock < 0)
            frames.firstBlock = at;
        frames.remaining = PACER_STX_REST;
        frames.inBlock = 1;
        return 1;
    }
    if (value == PACER_SOH)
        frames.remaining = PACER_SOH_REST;
    else if (value == PACER_EOT)
        frames.lastEot = at;
    return 0;
}

// A byte reached the pacer: a block from A after an ACK, or an ACK from B
// after a block, ends a turnaround.
static void noteArrival(PacerTiming &timing, int fromA, unsigned char value, double now)
{
    if (fromA) {
        if (trackFrame(timing.arrived, value, now) == 1 && timing.ackDelivered >= 0) {
            timing.sender.push_back(now - timing.ackDelivered);
            timing.ackDelivered = -1;
        }
    } else if (value == PACER_ACK && timing.blockDelivered >= 0) {
        timing.receiver.push_back(now - timing.blockDelivered);
        timing.blockDelivered = -1;
    }
}

// A byte was handed to its reader: the data phase is timed by when bytes were
// off the line (due), turnarounds from when they were handed over (now, just
// before the write: a one-byte write to a pty can take 35 us, and that is the
// line's time, not the reader's).
static void noteDelivery(PacerTiming &timing, int toB, const PacerByte &byte, double now, int held)
{
    if (toB) {
        if (trackFrame(timing.delivered, byte.value, byte.due) == 2)
            timing.blockDelivered = now;
    } else if (byte.value == PACER_ACK) {
        timing.ackDelivered = now;
        if (held)
            timing.ackHolds.push_back(byte.due - byte.offLine);
    }
}

// A read error or hangup means no client has the slave open right now (only
// if our hold failed): keep running and look again a little later.
static void readSource(PacerLink &from, PacerLane &lane, double now, PacerTiming &timing, int fromA)
{
    size_t room = PACER_QUEUE_LIMIT - lane.bytes.size();
    if (room == 0)
        return;
    unsigned char buffer[PACER_QUEUE_LIMIT];
    ssize_t got = read(from.pty.master, buffer, room);
    if (got > 0) {
        scheduleBytes(lane, buffer, got, now);
        for (ssize_t i = 0; i < got; i++)
            noteArrival(timing, fromA, buffer[i], now);
        return;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR))
        from.quietUntil = now + PACER_QUIET_S;
}

static void deliverDue(PacerLane &lane, PacerLink &to, double now, PacerTiming &timing, int toB)
{
    lane.blocked = 0;
    while (!lane.bytes.empty() && lane.bytes.front().due <= now) {
        unsigned char chunk[PACER_CHUNK];
        size_t count = 0;
        while (count < PACER_CHUNK && count < lane.bytes.size() && lane.bytes[count].due <= now) {
            chunk[count] = lane.bytes[count].value;
            count++;
        }
        ssize_t put = write(to.pty.master, chunk, count);
        if (put <= 0) {
            if (put < 0 && errno == EINTR)
                continue;
            lane.blocked = 1;   // full, or hung up: try again when it can take more
            return;
        }
        for (ssize_t i = 0; i < put; i++) {
            noteDelivery(timing, toB, lane.bytes.front(), now, lane.adapter.periodSeconds > 0.0);
            lane.bytes.pop_front();
        }
        lane.relayed += uint64_t(put);
    }
}

// When the lane must next be looked at, -1 for never. The last byte queued
// is looked for early and then polled for awake, since the reader may answer
// it; bytes with more behind them may wait a little to save wake-ups.
static double nextDue(const PacerLane &lane)
{
    if (lane.bytes.empty() || lane.blocked)
        return -1;
    double batched = lane.bytes.front().due + PACER_BATCH_S;
    double last = lane.bytes.back().due - LINE_SPIN_SECONDS;
    return batched < last ? batched : last;
}

static short wantedEvents(const PacerLink &link, const PacerLane &outgoing, const PacerLane &incoming, double now)
{
    short events = 0;
    if (outgoing.bytes.size() < PACER_QUEUE_LIMIT && now >= link.quietUntil)
        events |= POLLIN;
    if (incoming.blocked)
        events |= POLLOUT;
    return events;
}

static void handleEvents(PacerLink &link, short revents, PacerLane &outgoing, double now, PacerTiming &timing,
                         int fromA)
{
    if (revents & POLLIN)
        readSource(link, outgoing, now, timing, fromA);
    else if (revents & (POLLHUP | POLLERR))
        link.quietUntil = now + PACER_QUIET_S;
}

// Relays until a stop signal arrives on the pipe. A ppoll() timeout, since a
// byte lasts 87 us and poll() counts in milliseconds; it keeps both ends
// read while waiting, so arrivals are stamped when they come.
static void relayUntilStopped(int stopFd, PacerLink &a, PacerLink &b, PacerTiming &timing, PacerLane &ab,
                              PacerLane &ba)
{
    for (;;) {
        double now = ReadClock();
        deliverDue(ab, b, now, timing, 1);
        deliverDue(ba, a, now, timing, 0);
        pollfd fds[3] = {
            { a.pty.master, wantedEvents(a, ab, ba, now), 0 },
            { b.pty.master, wantedEvents(b, ba, ab, now), 0 },
            { stopFd, POLLIN, 0 },
        };
        double due = EarlierDue(nextDue(ab), nextDue(ba));
        due = EarlierDue(due, a.quietUntil > now ? a.quietUntil : -1);
        due = EarlierDue(due, b.quietUntil > now ? b.quietUntil : -1);
        timespec timeout = MakeTimespec(due - now);
        int ready = ppoll(fds, 3, due < 0 ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "pacer: ppoll failed: %s\n", strerror(errno));
            return;
        }
        if (ready <= 0)
            continue;
        if (fds[2].revents & POLLIN)
            return;
        now = ReadClock();
        handleEvents(a, fds[0].revents, ab, now, timing, 1);
        handleEvents(b, fds[1].revents, ba, now, timing, 0);
    }
}

static int parseArguments(int argc, char **argv, const char **pathA, const char **pathB, double *rate,
                          long *latencyMs)
{
    for (int i = 1; i < argc; i++) {
        if (i + 1 >= argc) {
            fprintf(stderr, "pacer: %s needs a value\n", argv[i]);
            return 0;
        }
        if (strcmp(argv[i], "--a") == 0) {
            *pathA = argv[++i];
        } else if (strcmp(argv[i], "--b") == 0) {
            *pathB = argv[++i];
        } else if (strcmp(argv[i], "--rate") == 0) {
            char *end = nullptr;
            *rate = strtod(argv[++i], &end);
            if (!end || *end || !(*rate > 0)) {
                fprintf(stderr, "pacer: bad rate '%s'\n", argv[i]);
                return 0;
            }
        } else if (strcmp(argv[i], "--adapter-latency") == 0) {
            if (!ParseWholeNumber(argv[i], argv[i + 1], 1, LINE_ADAPTER_MAX_MS, latencyMs))
                return 0;
            i++;
        } else {
            fprintf(stderr, "pacer: unknown option '%s'\n", argv[i]);
            return 0;
        }
    }
    if (!*pathA || !*pathB) {
        fprintf(stderr, "usage: pacer --a PATH --b PATH [--rate BYTES_PER_SECOND] [--adapter-latency MS]\n");
        return 0;
    }
    return 1;
}

static void printSeconds(const char *label, double at, double start)
{
    if (at < 0)
        printf("%snone", label);
    else
        printf("%s%.6f", label, at - start);
}

// One line of turnaround figures in ms: count, nearest-rank p50 and p99, max, mean.
static void printTurnarounds(const char *label, const std::vector<double> &values)
{
    printf("pacer: %s blocks=%zu", label, values.size());
    if (values.empty()) {
        printf(" p50=none p99=none max=none mean=none\n");
        return;
    }
    Spread t = SpreadOf(values);
    printf(" p50=%.3f p99=%.3f max=%.3f mean=%.3f\n", t.p50 * 1e3, t.p99 * 1e3, t.max * 1e3, t.mean * 1e3);
}

int main(int argc, char **argv)
{
    lineToolName = "pacer";
    const char *pathA = nullptr;
    const char *pathB = nullptr;
    double rate = LINE_BYTES_PER_SECOND;
    long latencyMs = 0;
    if (!parseArguments(argc, argv, &pathA, &pathB, &rate, &latencyMs))
        return 2;
    static const int STOP_SIGNALS[3] = { SIGTERM, SIGINT, SIGHUP };
    int stopFd = OpenSignalPipe(STOP_SIGNALS, 3);
    if (stopFd < 0)
        return 1;
    double start = ReadClock();
    PacerLink a = { LinePty(), -1, 0.0 };
    PacerLink b = { LinePty(), -1, 0.0 };
    a.pty.master = b.pty.master = -1;
    if (!openLink(a, pathA) || !openLink(b, pathB)) {
        closeLink(a);
        closeLink(b);
        return 1;
    }
    printf("pacer: ready a=%s b=%s\n", a.pty.slavePath, b.pty.slavePath);
    fflush(stdout);

    PacerLane ab = { {}, {}, {}, 0, 0 };
    PacerLane ba = { {}, {}, {}, 0, 0 };
    StartPace(&ab.pace, rate);
    StartPace(&ba.pace, rate);
    StartAdapter(&ab.adapter, 0, start);
    StartAdapter(&ba.adapter, (double)latencyMs, start);
    PacerTiming timing = { { 0, -1, -1, 0 }, { 0, -1, -1, 0 }, -1, -1, {}, {}, {} };
    relayUntilStopped(stopFd, a, b, timing, ab, ba);

    closeLink(a);
    closeLink(b);
    printSeconds("pacer: first-block=", timing.delivered.firstBlock, start);
    printSeconds(" eot=", timing.delivered.lastEot, start);
    printf("\n");
    printTurnarounds("turnaround", timing.sender);
    printTurnarounds("reply", timing.receiver);
    if (latencyMs > 0)
        printTurnarounds("adapter-hold", timing.ackHolds);
    printf("pacer: relayed a->b=%llu b->a=%llu\n", (unsigned long long)ab.relayed, (unsigned long long)ba.relayed);
    fflush(stdout);
    return 0;
}
