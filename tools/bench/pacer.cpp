// pacer: two pseudo-terminals joined by a line paced like a real UART, so
// serial tools on either end see wire timing instead of a pty's instant copy.
//   pacer --a PATH --b PATH [--rate BYTES_PER_SECOND]
// PATH are symlinks to the slaves, removed on exit. On exit it prints when the
// first 1 KiB block and the last EOT crossed from A to B, for the benchmark,
// and the turnarounds it saw: the sender's, from an ACK's delivery to A until
// the next block reached the pacer, and the receiver's, from a block's
// delivery to B until its ACK reached the pacer.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#define PACER_RATE        11520.0     // 115200 8N1: ten bits a byte
#define PACER_QUEUE_LIMIT 4096        // like a UART's transmit buffer: the writer waits beyond it
#define PACER_CHUNK       64          // most bytes handed to a master in one write
#define PACER_QUIET_NS    10000000LL  // a hung-up end is left alone this long before polling it again
#define PACER_IDLE_NS     100000000LL // longest wait, so a stop request is seen soon
#define PACER_BATCH_NS    1000000LL   // a byte with more behind it may be handed over this late
#define PACER_SPIN_NS     300000LL    // timers wake about 0.1 ms late here: the rest is polled awake
#define PACER_STX         0x02
#define PACER_SOH         0x01
#define PACER_EOT         0x04
#define PACER_ACK         0x06
#define PACER_STX_REST    1028        // block number, its complement, 1024 data, 2 CRC
#define PACER_SOH_REST    132         // the same with 128 data

struct PacerLink {
    int master;
    int hold;                 // our own slave descriptor, so a client closing it causes no hangup
    std::string path;
    std::string slave;
    int64_t quietUntil;
};

struct PacerByte {
    unsigned char value;
    int64_t due;              // when its last bit has left the wire
};

struct PacerLane {
    std::deque<PacerByte> bytes;
    int64_t runStart;         // start of the current continuous run on the wire
    int64_t runCount;         // bytes scheduled in that run
    int64_t lastDue;          // due time of the last byte scheduled
    int blocked;              // the receiving master is full: wait for POLLOUT
    uint64_t relayed;
};

// A->B framing, to time the data phase. It is approximate on purpose: it
// assumes CRC blocks and that a frame is never cut short, which holds for a
// clean line; after a frame's length it looks at the next byte afresh.
struct PacerFrames {
    int64_t remaining;
    int64_t firstBlock;
    int64_t lastEot;
    int inBlock;              // the frame being followed is a 1 KiB block
};

// Both ends' turnarounds, in ns. Frames are followed twice: as bytes reach
// the pacer from A, and as they are delivered to B.
struct PacerTiming {
    PacerFrames arrived;
    PacerFrames delivered;
    int64_t ackDelivered;       // last ACK handed to A, -1 once a block followed
    int64_t blockDelivered;     // last byte of a block handed to B, -1 once acked
    std::vector<int64_t> sender;
    std::vector<int64_t> receiver;
};

static volatile sig_atomic_t PacerStop = 0;

static void NoteStop(int)
{
    PacerStop = 1;
}

static int64_t NowNs()
{
    timespec t;
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) {
        fprintf(stderr, "pacer: clock_gettime failed: %s\n", strerror(errno));
        exit(1);
    }
    return int64_t(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

static void MakeRaw(termios &t)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
}

// Replaces only an old symlink: a real file at PATH is someone's data.
static int PlaceSymlink(const char *target, const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            fprintf(stderr, "pacer: %s exists and is not a symlink\n", path);
            return 0;
        }
        unlink(path);
    }
    if (symlink(target, path) != 0) {
        fprintf(stderr, "pacer: cannot link %s: %s\n", path, strerror(errno));
        return 0;
    }
    return 1;
}

static int OpenLink(PacerLink &link, const char *path)
{
    link.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (link.master < 0 || grantpt(link.master) != 0 || unlockpt(link.master) != 0) {
        fprintf(stderr, "pacer: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return 0;
    }
    const char *slave = ptsname(link.master);
    if (!slave) {
        fprintf(stderr, "pacer: no slave name: %s\n", strerror(errno));
        return 0;
    }
    link.slave = slave;
    link.hold = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (link.hold < 0) {
        fprintf(stderr, "pacer: cannot open %s: %s\n", slave, strerror(errno));
        return 0;
    }
    // Raw from the start: an echoing slave would send every byte straight back.
    termios t;
    if (tcgetattr(link.hold, &t) != 0) {
        fprintf(stderr, "pacer: cannot read modes of %s: %s\n", slave, strerror(errno));
        return 0;
    }
    MakeRaw(t);
    if (tcsetattr(link.hold, TCSANOW, &t) != 0) {
        fprintf(stderr, "pacer: cannot set modes of %s: %s\n", slave, strerror(errno));
        return 0;
    }
    int flags = fcntl(link.master, F_GETFL);
    if (flags < 0 || fcntl(link.master, F_SETFL, flags | O_NONBLOCK) != 0) {
        fprintf(stderr, "pacer: fcntl on the master of %s failed: %s\n", slave, strerror(errno));
        return 0;
    }
    if (!PlaceSymlink(slave, path))
        return 0;
    link.path = path;
    link.quietUntil = 0;
    return 1;
}

static void CloseLink(PacerLink &link)
{
    if (!link.path.empty())
        unlink(link.path.c_str());
    if (link.hold >= 0)
        close(link.hold);
    if (link.master >= 0)
        close(link.master);
}

// Byte k of a continuous run is due at runStart + (k+1)/rate; once the last
// scheduled byte is due the wire is idle and a new run starts, so idle time
// is never saved up as credit for a later burst.
static void ScheduleBytes(PacerLane &lane, const unsigned char *data, ssize_t count, int64_t now, double rate)
{
    for (ssize_t i = 0; i < count; i++) {
        if (lane.runCount == 0 || now >= lane.lastDue) {
            lane.runStart = now;
            lane.runCount = 0;
        }
        lane.runCount++;
        lane.lastDue = lane.runStart + int64_t(double(lane.runCount) * 1e9 / rate);
        lane.bytes.push_back(PacerByte{ data[i], lane.lastDue });
    }
}

// Follows one byte through the framing: 1 when it starts a 1 KiB block, 2
// when it ends one, else 0.
static int TrackFrame(PacerFrames &frames, unsigned char value, int64_t at)
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
static void NoteArrival(PacerTiming &timing, int fromA, unsigned char value, int64_t now)
{
    if (fromA) {
        if (TrackFrame(timing.arrived, value, now) == 1 && timing.ackDelivered >= 0) {
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
static void NoteDelivery(PacerTiming &timing, int toB, unsigned char value, int64_t due, int64_t now)
{
    if (toB) {
        if (TrackFrame(timing.delivered, value, due) == 2)
            timing.blockDelivered = now;
    } else if (value == PACER_ACK) {
        timing.ackDelivered = now;
    }
}

// A read error or hangup means no client has the slave open right now (only
// if our hold failed): keep running and look again a little later.
static void ReadSource(PacerLink &from, PacerLane &lane, int64_t now, double rate, PacerTiming &timing, int fromA)
{
    size_t room = PACER_QUEUE_LIMIT - lane.bytes.size();
    if (room == 0)
        return;
    unsigned char buffer[PACER_QUEUE_LIMIT];
    ssize_t got = read(from.master, buffer, room);
    if (got > 0) {
        ScheduleBytes(lane, buffer, got, now, rate);
        for (ssize_t i = 0; i < got; i++)
            NoteArrival(timing, fromA, buffer[i], now);
        return;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR))
        from.quietUntil = now + PACER_QUIET_NS;
}

static void DeliverDue(PacerLane &lane, PacerLink &to, int64_t now, PacerTiming &timing, int toB)
{
    lane.blocked = 0;
    while (!lane.bytes.empty() && lane.bytes.front().due <= now) {
        unsigned char chunk[PACER_CHUNK];
        size_t count = 0;
        while (count < PACER_CHUNK && count < lane.bytes.size() && lane.bytes[count].due <= now) {
            chunk[count] = lane.bytes[count].value;
            count++;
        }
        ssize_t put = write(to.master, chunk, count);
        if (put <= 0) {
            if (put < 0 && errno == EINTR)
                continue;
            lane.blocked = 1;   // full, or hung up: try again when it can take more
            return;
        }
        for (ssize_t i = 0; i < put; i++) {
            NoteDelivery(timing, toB, lane.bytes.front().value, lane.bytes.front().due, now);
            lane.bytes.pop_front();
        }
        lane.relayed += uint64_t(put);
    }
}

// When the lane must next be looked at, -1 for never. The last byte queued
// is looked for early and then polled for awake, since the reader may answer
// it; bytes with more behind them may wait a little to save wake-ups.
static int64_t NextDue(const PacerLane &lane)
{
    if (lane.bytes.empty() || lane.blocked)
        return -1;
    int64_t batched = lane.bytes.front().due + PACER_BATCH_NS;
    int64_t last = lane.bytes.back().due - PACER_SPIN_NS;
    return batched < last ? batched : last;
}

static short WantedEvents(const PacerLink &link, const PacerLane &outgoing, const PacerLane &incoming, int64_t now)
{
    short events = 0;
    if (outgoing.bytes.size() < PACER_QUEUE_LIMIT && now >= link.quietUntil)
        events |= POLLIN;
    if (incoming.blocked)
        events |= POLLOUT;
    return events;
}

// A ppoll() timeout, since a byte lasts 87 us and poll() counts in
// milliseconds; it keeps both ends read while waiting, so arrivals are
// stamped when they come.
static timespec WaitTimeout(int64_t due, int64_t now)
{
    int64_t left = due < 0 ? PACER_IDLE_NS : due - now;
    if (left < 0)
        left = 0;
    if (left > PACER_IDLE_NS)
        left = PACER_IDLE_NS;
    return timespec{ time_t(left / 1000000000LL), long(left % 1000000000LL) };
}

static int64_t Earliest(int64_t x, int64_t y)
{
    if (x < 0)
        return y;
    if (y < 0)
        return x;
    return x < y ? x : y;
}

static void HandleEvents(PacerLink &link, short revents, PacerLane &outgoing, int64_t now, double rate,
                         PacerTiming &timing, int fromA)
{
    if (revents & POLLIN)
        ReadSource(link, outgoing, now, rate, timing, fromA);
    else if (revents & (POLLHUP | POLLERR))
        link.quietUntil = now + PACER_QUIET_NS;
}

static void RelayUntilStopped(PacerLink &a, PacerLink &b, double rate, PacerTiming &timing, PacerLane &ab, PacerLane &ba)
{
    while (!PacerStop) {
        int64_t now = NowNs();
        DeliverDue(ab, b, now, timing, 1);
        DeliverDue(ba, a, now, timing, 0);
        pollfd fds[2] = {
            { a.master, WantedEvents(a, ab, ba, now), 0 },
            { b.master, WantedEvents(b, ba, ab, now), 0 },
        };
        int64_t due = Earliest(NextDue(ab), NextDue(ba));
        due = Earliest(due, a.quietUntil > now ? a.quietUntil : -1);
        due = Earliest(due, b.quietUntil > now ? b.quietUntil : -1);
        timespec timeout = WaitTimeout(due, now);
        int ready = ppoll(fds, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "pacer: ppoll failed: %s\n", strerror(errno));
            return;
        }
        if (ready <= 0)
            continue;
        now = NowNs();
        HandleEvents(a, fds[0].revents, ab, now, rate, timing, 1);
        HandleEvents(b, fds[1].revents, ba, now, rate, timing, 0);
    }
}

static int ParseArguments(int argc, char **argv, const char **pathA, const char **pathB, double *rate)
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
        } else {
            fprintf(stderr, "pacer: unknown option '%s'\n", argv[i]);
            return 0;
        }
    }
    if (!*pathA || !*pathB) {
        fprintf(stderr, "usage: pacer --a PATH --b PATH [--rate BYTES_PER_SECOND]\n");
        return 0;
    }
    return 1;
}

static void CatchStopSignals()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

static void PrintSeconds(const char *label, int64_t at, int64_t start)
{
    if (at < 0)
        printf("%snone", label);
    else
        printf("%s%.6f", label, double(at - start) / 1e9);
}

// One line of turnaround figures in ms: count, nearest-rank p50 and p99, max, mean.
static void PrintTurnarounds(const char *label, std::vector<int64_t> values)
{
    printf("pacer: %s blocks=%zu", label, values.size());
    if (values.empty()) {
        printf(" p50=none p99=none max=none mean=none\n");
        return;
    }
    std::sort(values.begin(), values.end());
    double sum = 0.0;
    for (int64_t value : values)
        sum += double(value);
    size_t n = values.size();
    size_t p50 = size_t(ceil(0.50 * double(n)));
    size_t p99 = size_t(ceil(0.99 * double(n)));
    printf(" p50=%.3f p99=%.3f max=%.3f mean=%.3f\n", double(values[p50 - 1]) / 1e6, double(values[p99 - 1]) / 1e6,
           double(values[n - 1]) / 1e6, sum / double(n) / 1e6);
}

int main(int argc, char **argv)
{
    const char *pathA = nullptr;
    const char *pathB = nullptr;
    double rate = PACER_RATE;
    if (!ParseArguments(argc, argv, &pathA, &pathB, &rate))
        return 2;
    CatchStopSignals();
    int64_t start = NowNs();
    PacerLink a = { -1, -1, "", "", 0 };
    PacerLink b = { -1, -1, "", "", 0 };
    if (!OpenLink(a, pathA) || !OpenLink(b, pathB)) {
        CloseLink(a);
        CloseLink(b);
        return 1;
    }
    printf("pacer: ready a=%s b=%s\n", a.slave.c_str(), b.slave.c_str());
    fflush(stdout);

    PacerLane ab = { {}, 0, 0, 0, 0, 0 };
    PacerLane ba = { {}, 0, 0, 0, 0, 0 };
    PacerTiming timing = { { 0, -1, -1, 0 }, { 0, -1, -1, 0 }, -1, -1, {}, {} };
    RelayUntilStopped(a, b, rate, timing, ab, ba);

    CloseLink(a);
    CloseLink(b);
    PrintSeconds("pacer: first-block=", timing.delivered.firstBlock, start);
    PrintSeconds(" eot=", timing.delivered.lastEot, start);
    printf("\n");
    PrintTurnarounds("turnaround", timing.sender);
    PrintTurnarounds("reply", timing.receiver);
    printf("pacer: relayed a->b=%llu b->a=%llu\n", (unsigned long long)ab.relayed, (unsigned long long)ba.relayed);
    fflush(stdout);
    return 0;
}
