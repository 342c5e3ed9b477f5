// The relay loop; see relay.h.
#include "trace/relay.h"
#include "line/clock.h"
#include "line/names.h"
#include "line/pacing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#define RELAY_READ_BYTES       4096
#define RELAY_QUEUE_LIMIT      65536   // a side that takes nothing more stops the other side's reading
#define RELAY_CLIENT_RECHECK_S 0.02
#define RELAY_AWAKE_BEFORE_S   0.0005  // before the box's bytes are off the line
#define RELAY_AWAKE_AFTER_S    0.003   // and for its answer after that

static size_t pendingBytes(const RelayQueue *queue)
{
    return queue->bytes.size() - queue->head;
}

static void dropQueue(RelayQueue *queue)
{
    queue->bytes.clear();
    queue->head = 0;
}

// Writes what the side takes now: 1 when all is out or some waits for room, 0 on an error (errno).
static int writeQueue(int fd, RelayQueue *queue)
{
    while (pendingBytes(queue) > 0) {
        ssize_t n = write(fd, queue->bytes.data() + queue->head, pendingBytes(queue));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN ? 1 : 0;
        }
        queue->head += (size_t)n;
    }
    dropQueue(queue);
    return 1;
}

static int deviceGone(Relay *relay, double now, const char *what)
{
    std::string text = std::string("device ") + relay->devicePath + " gone: " + what;
    TraceNote(&relay->trace, now, text.c_str());
    fprintf(stderr, "%s: error: the %s\n", lineToolName, text.c_str());
    return 0;
}

// When the loop must look again for the box's answer: now while it is due,
// the start of its window, or -1 for none.
static double answerDue(const Relay *relay, double now)
{
    double from = relay->lineFreeAt - RELAY_AWAKE_BEFORE_S;
    if (now >= relay->lineFreeAt + RELAY_AWAKE_AFTER_S)
        return -1.0;
    return from > now ? from : now;
}

static void clientGone(Relay *relay, double now)
{
    if (!relay->clientPresent)
        return;
    relay->clientPresent = 0;
    dropQueue(&relay->toPc);
    TraceNote(&relay->trace, now, "the pc side closed its end");
}

static void checkClient(Relay *relay, double now)
{
    if (relay->clientPresent || !HasPtyClient(&relay->pty))
        return;
    relay->clientPresent = 1;
    TraceNote(&relay->trace, now, "the pc side opened its end");
}

// Queues a chunk for one side and writes what it takes, after the hold.
static int forward(Relay *relay, RelayQueue *queue, int fd, const uint8_t *bytes, size_t count, double readAt)
{
    if (relay->holdSeconds > 0.0)
        WaitUntil(readAt + relay->holdSeconds);
    queue->bytes.insert(queue->bytes.end(), bytes, bytes + count);
    return writeQueue(fd, queue);
}

// Bytes from the box go on to the PC; with nobody on the PC's side they are
// lost, as on a line with no listener.
static int readDevice(Relay *relay, double now)
{
    uint8_t buffer[RELAY_READ_BYTES];
    ssize_t n = read(relay->device, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 1;
    if (n < 0) {
        std::string what = std::string("read failed: ") + strerror(errno);
        return deviceGone(relay, now, what.c_str());
    }
    if (n == 0)
        return deviceGone(relay, now, "hung up");
    checkClient(relay, now);
    if (relay->clientPresent) {
        if (!forward(relay, &relay->toPc, relay->pty.master, buffer, (size_t)n, now)) {
            if (errno == EIO)
                clientGone(relay, now);
            else
                fprintf(stderr, "%s: error: write to the pty failed: %s\n", lineToolName, strerror(errno));
        }
    }
    TraceBytes(&relay->trace, TRACE_BOX_TO_PC, buffer, (size_t)n, now);
    if (!relay->clientPresent) {
        std::string text = std::to_string((long)n) + " bytes for the pc lost: nobody has its end open";
        TraceNote(&relay->trace, now, text.c_str());
    }
    return 1;
}

static int readPc(Relay *relay, double now)
{
    uint8_t buffer[RELAY_READ_BYTES];
    ssize_t n = read(relay->pty.master, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 1;
    if (n <= 0) {
        if (n < 0 && errno != EIO)
            fprintf(stderr, "%s: error: read from the pty failed: %s\n", lineToolName, strerror(errno));
        clientGone(relay, now);
        return 1;
    }
    relay->lineFreeAt = (relay->lineFreeAt > now ? relay->lineFreeAt : now) + n / LINE_BYTES_PER_SECOND;
    int sent = forward(relay, &relay->toBox, relay->device, buffer, (size_t)n, now);
    TraceBytes(&relay->trace, TRACE_PC_TO_BOX, buffer, (size_t)n, now);
    if (!sent) {
        std::string what = std::string("write failed: ") + strerror(errno);
        return deviceGone(relay, now, what.c_str());
    }
    return 1;
}

// 1 when a stop signal came.
static int readSignals(Relay *relay)
{
    unsigned char numbers[32];
    ssize_t n = read(relay->signals, numbers, sizeof numbers);
    for (ssize_t i = 0; i < n; i++) {
        if (numbers[i] == SIGINT || numbers[i] == SIGTERM)
            return 1;
    }
    return 0;
}

int RunRelay(Relay *relay)
{
    for (;;) {
        double now = ReadClock();
        checkClient(relay, now);
        EndQuietBurst(&relay->trace, now);

        // 1. What to wait for: a side is read only while the other takes its bytes.
        struct pollfd fds[3] = {
            { relay->signals, POLLIN, 0 },
            { relay->device, 0, 0 },
            { relay->pty.master, 0, 0 },
        };
        if (pendingBytes(&relay->toPc) < RELAY_QUEUE_LIMIT)
            fds[1].events |= POLLIN;
        if (pendingBytes(&relay->toBox) > 0)
            fds[1].events |= POLLOUT;
        if (pendingBytes(&relay->toBox) < RELAY_QUEUE_LIMIT)
            fds[2].events |= POLLIN;
        if (pendingBytes(&relay->toPc) > 0)
            fds[2].events |= POLLOUT;
        nfds_t count = relay->clientPresent ? 3 : 2;
        double due = TraceBurstEnd(&relay->trace);
        if (!relay->clientPresent)
            due = EarlierDue(due, now + RELAY_CLIENT_RECHECK_S);
        due = EarlierDue(due, answerDue(relay, now));

        // 2. Wait (not at all while the box's answer is due, but yielding
        // the core to whoever else is ready to run).
        if (due >= 0.0 && due <= now)
            sched_yield();
        struct timespec wait = MakeTimespec(due > now ? due - now : 0.0);
        if (ppoll(fds, count, due < 0.0 ? nullptr : &wait, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "%s: error: ppoll failed: %s\n", lineToolName, strerror(errno));
            TraceNote(&relay->trace, ReadClock(), "the relay failed: ppoll failed");
            return 0;
        }
        now = ReadClock();

        // 3. Stop, or move what came.
        if ((fds[0].revents & POLLIN) && readSignals(relay))
            return 1;
        short device = fds[1].revents;
        if ((device & POLLOUT) && !writeQueue(relay->device, &relay->toBox)) {
            std::string what = std::string("write failed: ") + strerror(errno);
            return deviceGone(relay, now, what.c_str());
        }
        if ((device & POLLIN) && !readDevice(relay, now))
            return 0;
        if (!(device & POLLIN) && (device & (POLLHUP | POLLERR | POLLNVAL)))
            return deviceGone(relay, now, "hung up");
        if (count < 3)
            continue;
        short pc = fds[2].revents;
        if ((pc & POLLOUT) && !writeQueue(relay->pty.master, &relay->toPc))
            clientGone(relay, now);
        if ((pc & POLLIN) && !readPc(relay, now))
            return 0;
        if (!(pc & POLLIN) && (pc & (POLLHUP | POLLERR)))
            clientGone(relay, now);
    }
}
