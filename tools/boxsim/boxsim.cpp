// boxsim: plays the set-top box and its boot monitor on a pseudo-terminal, so
// the flash programmer can be run and tested without the hardware. This file
// owns the main loop: one thread, a ppoll() over the pty master, stdin and
// the signal pipe, which hands each byte from the host to the state it came
// in, runs the timers and sleeps until the next thing is due. The monitor,
// the transfer, the faults, the line and the reports have files of their
// own; box.h holds the record they share.
#include "boxsim/box.h"
#include "line/args.h"
#include "line/clock.h"
#include "line/signals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

BoxSim box;

// One byte from the host. 0 when it cannot be taken yet (acks still going
// out); it is then offered again later.
static int handleByte(uint8_t byte, double now)
{
    if (boxOptions.silent) {
        NoteIgnored(byte);
        return 1;
    }
    switch (box.state) {
    case BOX_STATE_OFF:
    case BOX_STATE_RUNNING:
        NoteIgnored(byte);
        return 1;
    case BOX_STATE_STOP_WINDOW:
        HandleStopWindowByte(byte, now);
        return 1;
    case BOX_STATE_MONITOR:
        HandleMonitorByte(byte, now);
        return 1;
    case BOX_STATE_HANDSHAKE:
    case BOX_STATE_LENGTH:
    case BOX_STATE_BLOCK:
        HandleTransferByte(byte, now);
        return 1;
    case BOX_STATE_ACKING:
    default:
        return 0;
    }
}

// Hands the protocol every byte that is off the line, at the time it came off,
// so what it answers is paced from then, however late this loop woke up.
static void processInput(double now)
{
    while (!box.rx.empty()) {
        const RxByte &next = box.rx.front();
        if (boxOptions.pace && next.due > now)
            break;
        box.eventTime = boxOptions.pace ? next.due : now;
        box.byteArrival = next.arrival;
        if (!handleByte(next.value, box.eventTime))
            break;
        box.rx.pop_front();
    }
    box.eventTime = now;
    FlushIgnored();
}

static void runTimers(double now)
{
    EndStopWindowIfDue(now);
    RunTransferTimers(now);
    RunFaultTimers(now);
    AutobootIfDue(now);
}

// When the loop must next look, -1 for never. Paced bytes that must not be
// late (output, and the last input byte, which output may answer) are looked
// for LINE_SPIN_SECONDS early and then polled for without sleeping.
static double nextWake(double now)
{
    double due = -1.0;
    if (box.state == BOX_STATE_STOP_WINDOW)
        due = EarlierDue(due, box.stopDeadline);
    if (box.state == BOX_STATE_HANDSHAKE)
        due = EarlierDue(due, box.handshakeDeadline);
    if (box.state == BOX_STATE_LENGTH || box.state == BOX_STATE_BLOCK)
        due = EarlierDue(due, box.waitSince + boxOptions.rxTimeoutMs / 1000.0);
    if (box.state == BOX_STATE_ACKING) {
        if (box.ackPos < box.ackCount && (boxOptions.pace || PendingTx() == 0))
            due = EarlierDue(due, box.ackDue > 0.0 ? box.ackDue - LINE_SPIN_SECONDS : now);
        else if (PendingTx() == 0)
            due = EarlierDue(due, now);
    }
    if (boxOptions.autobootSeconds > 0.0 && !InTransfer() && box.state != BOX_STATE_MONITOR)
        due = EarlierDue(due, box.lastPowerOn + boxOptions.autobootSeconds);
    if (boxOptions.pace && PendingTx() > 0 && !box.txBlocked)
        due = EarlierDue(due, box.txDue[box.txHead] - LINE_SPIN_SECONDS);
    // Held input waits for the acks, which have deadlines of their own.
    if (boxOptions.pace && !box.rx.empty() && box.state != BOX_STATE_ACKING) {
        due = EarlierDue(due, box.rx.front().due + BOX_RX_BATCH_S);
        due = EarlierDue(due, box.rx.back().due - LINE_SPIN_SECONDS);
    }
    if (!boxOptions.pace && !box.rx.empty() && box.state != BOX_STATE_ACKING)
        due = EarlierDue(due, now);
    due = EarlierDue(due, FaultTimerDue());
    if (box.exitPending)
        due = EarlierDue(due, now + 0.01);
    if (!box.clientPresent)
        due = EarlierDue(due, now + BOX_CLIENT_RECHECK_MS / 1000.0);
    return due;
}

static void handleStdinLine(const char *text, double now)
{
    if (text[0] == '\0')
        return;
    if (strcmp(text, "power") == 0) {
        PowerOn("stdin", now);
    } else if (strcmp(text, "quit") == 0) {
        box.quitRequested = 1;
        box.quitReason = "quit";
    } else {
        fprintf(stderr, "boxsim: error: unknown stdin command '%s' (power, quit)\n", text);
    }
}

static void readStdin(double now)
{
    char buffer[512];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        fprintf(stderr, "boxsim: error: read from stdin failed: %s; no longer reading it\n", strerror(errno));
        box.stdinOpen = 0;
        return;
    }
    if (n == 0) {
        box.stdinOpen = 0;
        Report("event=stdin-closed");
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        char c = buffer[i];
        if (c == '\n') {
            if (box.stdinOverflow) {
                fprintf(stderr, "boxsim: error: stdin line too long; ignored\n");
            } else {
                while (box.stdinLength > 0 && (box.stdinLine[box.stdinLength - 1] == '\r' ||
                                               box.stdinLine[box.stdinLength - 1] == ' '))
                    box.stdinLength--;
                box.stdinLine[box.stdinLength] = '\0';
                handleStdinLine(box.stdinLine, now);
            }
            box.stdinLength = 0;
            box.stdinOverflow = 0;
        } else if (box.stdinLength + 1 < sizeof box.stdinLine) {
            box.stdinLine[box.stdinLength++] = c;
        } else {
            box.stdinOverflow = 1;
        }
    }
}

static void readSignals(double now)
{
    unsigned char numbers[32];
    ssize_t n = read(box.signalFd, numbers, sizeof numbers);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR)
            fprintf(stderr, "boxsim: error: read from the signal pipe failed: %s\n", strerror(errno));
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (numbers[i] == SIGUSR1) {
            PowerOn("signal", now);
        } else {
            box.quitRequested = 1;
            box.quitReason = numbers[i] == SIGTERM ? "sigterm" : "sigint";
        }
    }
}

static int runLoop(void)
{
    while (!box.quitRequested) {
        double now = ReadClock();
        box.eventTime = now;
        CheckClient();
        FlushTx(now);
        processInput(now);
        runTimers(now);
        FlushTx(now);
        if (box.exitPending && ((PendingTx() == 0 && now - box.exitPendingSince >= 0.1) ||
                                now - box.exitPendingSince >= BOX_EXIT_DRAIN_MS / 1000.0)) {
            box.quitReason = "exit-after";
            break;
        }

        struct pollfd fds[3];
        int count = 0;
        int signalIndex = count;
        fds[count].fd = box.signalFd;
        fds[count].events = POLLIN;
        count++;
        int stdinIndex = -1;
        if (box.stdinOpen) {
            stdinIndex = count;
            fds[count].fd = STDIN_FILENO;
            fds[count].events = POLLIN;
            count++;
        }
        int masterIndex = -1;
        if (box.clientPresent) {
            masterIndex = count;
            fds[count].fd = box.pty.master;
            fds[count].events = 0;
            if (box.rx.size() < BOX_RX_LIMIT)
                fds[count].events |= POLLIN;
            if (PendingTx() > 0 && (!boxOptions.pace || box.txBlocked))
                fds[count].events |= POLLOUT;
            count++;
        }
        for (int i = 0; i < count; i++)
            fds[i].revents = 0;

        // ppoll: a byte lasts 87 us, poll() counts in milliseconds.
        double due = nextWake(now);
        struct timespec wait = MakeTimespec(due - now < 3600.0 ? due - now : 3600.0);
        int ready = ppoll(fds, (nfds_t)count, due < 0.0 ? nullptr : &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "boxsim: error: ppoll failed: %s\n", strerror(errno));
            return 0;
        }
        now = ReadClock();
        box.eventTime = now;
        if (fds[signalIndex].revents & POLLIN)
            readSignals(now);
        if (stdinIndex >= 0 && (fds[stdinIndex].revents & (POLLIN | POLLHUP | POLLERR)))
            readStdin(now);
        if (stdinIndex >= 0 && (fds[stdinIndex].revents & POLLNVAL)) {
            fprintf(stderr, "boxsim: error: stdin is not open; no longer reading it\n");
            box.stdinOpen = 0;
        }
        if (masterIndex >= 0) {
            short events = fds[masterIndex].revents;
            if (events & POLLIN)
                ReadMaster(now);
            else if (events & (POLLHUP | POLLERR))
                ClientGone();
        }
    }
    return 1;
}

int main(int argc, char **argv)
{
    int early = ReadCommandLine("boxsim", argc, argv, ParseOptions, PrintUsage);
    if (early >= 0)
        return early;
    static const int BOX_SIGNALS[3] = { SIGUSR1, SIGTERM, SIGINT };
    box.pty.master = -1;
    box.stdinOpen = 1;
    StartPace(&box.txPace, LINE_BYTES_PER_SECOND);
    StartPace(&box.rxPace, LINE_BYTES_PER_SECOND);
    box.signalFd = OpenSignalPipe(BOX_SIGNALS, 3);
    if (box.signalFd < 0)
        return 1;
    if (!OpenLinePty(&box.pty))
        return 1;
    if (boxOptions.linkPath && !LinkLinePty(&box.pty, boxOptions.linkPath))
        return 1;
    box.lastPowerOn = ReadClock();
    StartAdapter(&box.adapter, boxOptions.adapterLatencyMs, box.lastPowerOn);
    box.state = BOX_STATE_OFF;
    Report("ready pty=%s", box.pty.slavePath);
    int ok = runLoop();
    FlushIgnored();
    Report("event=exit reason=%s", ok ? box.quitReason : "error");
    CloseLinePty(&box.pty);
    return ok ? 0 : 1;
}
