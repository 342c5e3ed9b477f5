// boxsim: plays the set-top box and its boot monitor on a pseudo-terminal, so
// the flash programmer can be run and tested without the hardware. This file
// owns the pty and its link, the power-on banner and stop window, the
// monitor's line editor, the load command with its handshake, blocks and
// acks, the fault injection, the line pacing and the "boxsim: ..." report
// lines on stdout, turnaround figures included.
// One thread: a ppoll() loop over the pty master, stdin and a signal pipe.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "../../upload/banner.h"

#define BOX_BLOCK_SIZE         1024
#define BOX_MAX_LENGTH         (64u * 1024u * 1024u)
#define BOX_LINE_RATE          11520.0   // bytes a second at 115200 8N1
#define BOX_HANDSHAKE_MS       2000
#define BOX_LINE_MAX           255
#define BOX_TX_LIMIT           (1u << 20)
#define BOX_RX_LIMIT           65536
#define BOX_RX_BATCH_S         0.001     // bytes not last in the queue go to the protocol this late at most
#define BOX_SPIN_S             0.0003    // timers wake about 0.1 ms late here: the rest is polled without sleeping
#define BOX_CLIENT_RECHECK_MS  20
#define BOX_EXIT_DRAIN_MS      300
#define BOX_STDIN_LINE_MAX     256

#define BOX_ACK        0xFA
#define BOX_REJECT     0xF0
#define BOX_REJECT_ALT 0xFE
#define BOX_HOST_1     0xFA
#define BOX_HOST_2     0xAA

#define BOX_STATE_OFF         0
#define BOX_STATE_STOP_WINDOW 1
#define BOX_STATE_RUNNING     2
#define BOX_STATE_MONITOR     3
#define BOX_STATE_HANDSHAKE   4
#define BOX_STATE_LENGTH      5
#define BOX_STATE_BLOCK       6
#define BOX_STATE_ACKING      7

static const uint8_t BOX_HANDSHAKE[4] = { 0xAA, 0x55, 0x11, 0x22 };
static const uint8_t BOX_STRAY[4] = { 0x00, 0x41, 0x0D, 0x11 };
static const char *const BOX_STATE_NAMES[] = {
    "off", "stop-window", "running", "monitor", "handshake", "length", "block", "acking"
};

struct BoxOptions {
    const char *linkPath;
    const char *outPath;
    const char *prompt;
    int stopWindowMs;
    int rxTimeoutMs;
    double autobootSeconds;
    int exitAfter;
    int silent;
    int dropAckBlock;
    int dropAllAcksBlock;
    int rejectBlock;
    int rejectByte;
    int rehandshake;
    int strayBlock;
    int slowMs;
    int pace;
    int handshakeFirst;
    int lateAckBlock;
    int lateAckMs;
};

// A byte from the host: when it was read from the pty, and when its last bit
// is off the line, so it may go to the protocol (paced; else at once).
struct RxByte {
    uint8_t value;
    double arrival;
    double due;
};

// One step of a block's answer: wait delayMs after the previous step went
// out, then send the bytes.
struct AckStep {
    int delayMs;
    uint8_t bytes[8];
    int length;
};

struct BoxSim {
    int masterFd;
    char slavePath[128];
    int linkMade;
    int signalPipe[2];
    int stdinOpen;
    char stdinLine[BOX_STDIN_LINE_MAX];
    size_t stdinLength;
    int stdinOverflow;
    int clientPresent;

    int state;
    double stopDeadline;
    double lastPowerOn;
    char line[BOX_LINE_MAX + 1];
    int lineLength;
    std::string commands;
    int verdicts;

    // The running transfer attempt.
    int hasAddress;
    uint32_t address;
    double handshakeDeadline;
    int handshakeMatch;
    uint8_t lengthBytes[4];
    int lengthFill;
    int lengthKnown;
    uint32_t length;
    std::vector<uint8_t> image;
    uint32_t received;
    uint32_t blocksAcked;
    uint32_t checksumErrors;
    uint32_t blockIndex;
    uint32_t blockLength;
    uint32_t blockFill;
    uint32_t blockSum;
    uint32_t checksum;
    int checksumFill;
    AckStep acks[2];
    int ackCount;
    int ackPos;
    double ackDue;
    double goAheadTime;
    double lastSendTime;
    double waitSince;
    int goAheadMarkActive;
    uint64_t goAheadMark;

    // Turnaround: from the write of a block's last ack to the arrival of the
    // next block's first byte, one figure a block after the first.
    double blockEndTime;
    int ackEndMarkActive;
    uint64_t ackEndMark;
    double ackEndTime;
    std::vector<double> turnarounds;

    // Faults fire once each.
    int dropAckUsed;
    int dropAllAcksUsed;
    int rejectUsed;
    int strayUsed;
    int lateAckUsed;

    // Bytes to the host; paced, txDue holds when each finishes on the line,
    // and it is written to the pty no earlier.
    std::vector<uint8_t> tx;
    std::vector<double> txDue;
    size_t txHead;
    uint64_t txQueuedTotal;
    uint64_t txWrittenTotal;
    double txLineFree;
    double txDrainTime;
    int txBlocked;

    // Bytes from the host not yet handled, and when the line is next free.
    std::deque<RxByte> rx;
    double rxLineFree;

    // When the event being handled happened on the line: a byte's due time
    // while input is handled, else the clock. Output is paced from it.
    double eventTime;
    double byteArrival;

    unsigned ignoredCount;
    int ignoredState;
    uint8_t ignoredFirst[8];
    int ignoredFirstCount;

    int quitRequested;
    const char *quitReason;
    int exitPending;
    double exitPendingSince;
};

static BoxOptions opt;
static BoxSim sim;
static int signalWriteFd = -1;

static double NowSeconds(void)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        fprintf(stderr, "boxsim: error: clock_gettime failed: %s\n", strerror(errno));
        return 0.0;
    }
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Every report line goes out whole and at once: tests read them as they come.
static void Report(const char *format, ...)
{
    static int reportedFailure = 0;
    va_list args;
    va_start(args, format);
    fputs("boxsim: ", stdout);
    vfprintf(stdout, format, args);
    fputc('\n', stdout);
    va_end(args);
    if (fflush(stdout) != 0 && !reportedFailure) {
        fprintf(stderr, "boxsim: error: writing stdout failed: %s\n", strerror(errno));
        reportedFailure = 1;
    }
}

static void PrintUsage(FILE *to)
{
    fprintf(to,
        "usage: boxsim [options]\n"
        "Plays the set-top box and its boot monitor on a pseudo-terminal.\n"
        "  --link PATH          make PATH a symlink to the pty slave (removed on exit)\n"
        "  --out FILE           write each completely received image to FILE\n"
        "  --prompt TEXT        monitor prompt (default \"HanSh> \")\n"
        "  --stop-window MS     how long after the banner an 's' stops the boot (1500)\n"
        "  --rx-timeout MS      abandon a transfer after MS without a byte (6000)\n"
        "  --autoboot SECONDS   power on every SECONDS while not in the monitor\n"
        "  --exit-after N       exit after N verdict lines\n"
        "  --silent             a dead box: answer nothing, still drain input\n"
        "  --drop-ack N         block N gets only the first of its two acks\n"
        "  --drop-all-acks N    block N gets no ack at all\n"
        "  --reject N           answer block N with the reject byte instead of acks\n"
        "  --reject-byte F0|FE  the byte --reject sends (F0)\n"
        "  --rehandshake        after a reject, start a new handshake at once\n"
        "  --stray N            send stray bytes 00 41 0D 11 before each ack of block N\n"
        "  --slow MS            wait MS before each ack byte\n"
        "  --late-ack N MS      send the first ack of block N only MS after the block\n"
        "  --handshake-first    after the stop, send the load handshake at once instead\n"
        "                       of the prompt, and load as after \"q\" (no address)\n"
        "  --pace               hold both directions to the line rate of 115200 8N1\n"
        "  --help               show this text\n"
        "Before the verdict of a load of two blocks or more, a \"turnaround\" line gives\n"
        "p50/p99/max/mean ms from each block's last ack written to the next block's\n"
        "first byte read, and the data phase (go-ahead to last ack) in microseconds.\n"
        "stdin lines: \"power\" powers the box on, \"quit\" exits.\n"
        "SIGUSR1 powers the box on; SIGTERM and SIGINT exit.\n");
}

// Parses a whole decimal number in [minimum, maximum]; 0 with a message if not.
static int ParseNumber(const char *option, const char *text, long minimum, long maximum, long *value)
{
    char *end = nullptr;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > maximum) {
        fprintf(stderr, "boxsim: error: %s needs a whole number from %ld to %ld, got '%s'\n",
                option, minimum, maximum, text);
        return 0;
    }
    *value = parsed;
    return 1;
}

static int ParseOptions(int argc, char **argv, int *wantHelp)
{
    opt.prompt = "HanSh> ";
    opt.stopWindowMs = 1500;
    opt.rxTimeoutMs = 6000;
    opt.rejectByte = BOX_REJECT;
    *wantHelp = 0;
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        long value = 0;
        if (strcmp(name, "--help") == 0) {
            *wantHelp = 1;
            return 1;
        }
        if (strcmp(name, "--silent") == 0) {
            opt.silent = 1;
            continue;
        }
        if (strcmp(name, "--rehandshake") == 0) {
            opt.rehandshake = 1;
            continue;
        }
        if (strcmp(name, "--pace") == 0) {
            opt.pace = 1;
            continue;
        }
        if (strcmp(name, "--handshake-first") == 0) {
            opt.handshakeFirst = 1;
            continue;
        }
        if (strncmp(name, "--", 2) != 0) {
            fprintf(stderr, "boxsim: error: unexpected argument '%s' (see --help)\n", name);
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "boxsim: error: %s needs a value (see --help)\n", name);
            return 0;
        }
        const char *text = argv[++i];
        if (strcmp(name, "--link") == 0) {
            if (text[0] == '\0') {
                fprintf(stderr, "boxsim: error: --link needs a path\n");
                return 0;
            }
            opt.linkPath = text;
        } else if (strcmp(name, "--out") == 0) {
            if (text[0] == '\0') {
                fprintf(stderr, "boxsim: error: --out needs a path\n");
                return 0;
            }
            opt.outPath = text;
        } else if (strcmp(name, "--prompt") == 0) {
            if (text[0] == '\0' || strlen(text) > 64) {
                fprintf(stderr, "boxsim: error: --prompt needs 1 to 64 characters\n");
                return 0;
            }
            opt.prompt = text;
        } else if (strcmp(name, "--stop-window") == 0) {
            if (!ParseNumber(name, text, 1, 600000, &value))
                return 0;
            opt.stopWindowMs = (int)value;
        } else if (strcmp(name, "--rx-timeout") == 0) {
            if (!ParseNumber(name, text, 1, 3600000, &value))
                return 0;
            opt.rxTimeoutMs = (int)value;
        } else if (strcmp(name, "--autoboot") == 0) {
            char *end = nullptr;
            errno = 0;
            double seconds = strtod(text, &end);
            if (errno != 0 || end == text || *end != '\0' || !(seconds >= 0.1 && seconds <= 86400.0)) {
                fprintf(stderr, "boxsim: error: --autoboot needs seconds from 0.1 to 86400, got '%s'\n", text);
                return 0;
            }
            opt.autobootSeconds = seconds;
        } else if (strcmp(name, "--exit-after") == 0) {
            if (!ParseNumber(name, text, 1, 1000000, &value))
                return 0;
            opt.exitAfter = (int)value;
        } else if (strcmp(name, "--drop-ack") == 0) {
            if (!ParseNumber(name, text, 1, 1L << 20, &value))
                return 0;
            opt.dropAckBlock = (int)value;
        } else if (strcmp(name, "--drop-all-acks") == 0) {
            if (!ParseNumber(name, text, 1, 1L << 20, &value))
                return 0;
            opt.dropAllAcksBlock = (int)value;
        } else if (strcmp(name, "--reject") == 0) {
            if (!ParseNumber(name, text, 1, 1L << 20, &value))
                return 0;
            opt.rejectBlock = (int)value;
        } else if (strcmp(name, "--reject-byte") == 0) {
            const char *hex = text;
            if (hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X'))
                hex += 2;
            if (strcasecmp(hex, "F0") == 0) {
                opt.rejectByte = BOX_REJECT;
            } else if (strcasecmp(hex, "FE") == 0) {
                opt.rejectByte = BOX_REJECT_ALT;
            } else {
                fprintf(stderr, "boxsim: error: --reject-byte must be F0 or FE, got '%s'\n", text);
                return 0;
            }
        } else if (strcmp(name, "--stray") == 0) {
            if (!ParseNumber(name, text, 1, 1L << 20, &value))
                return 0;
            opt.strayBlock = (int)value;
        } else if (strcmp(name, "--slow") == 0) {
            if (!ParseNumber(name, text, 0, 600000, &value))
                return 0;
            opt.slowMs = (int)value;
        } else if (strcmp(name, "--late-ack") == 0) {
            if (!ParseNumber(name, text, 1, 1L << 20, &value))
                return 0;
            opt.lateAckBlock = (int)value;
            if (i + 1 >= argc) {
                fprintf(stderr, "boxsim: error: --late-ack needs a block and milliseconds (see --help)\n");
                return 0;
            }
            if (!ParseNumber(name, argv[++i], 0, 600000, &value))
                return 0;
            opt.lateAckMs = (int)value;
        } else {
            fprintf(stderr, "boxsim: error: unknown option '%s' (see --help)\n", name);
            return 0;
        }
    }
    return 1;
}

static int SetNonBlocking(int fd, const char *what)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        fprintf(stderr, "boxsim: error: fcntl(F_GETFL) on %s failed: %s\n", what, strerror(errno));
        return 0;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        fprintf(stderr, "boxsim: error: fcntl(F_SETFL) on %s failed: %s\n", what, strerror(errno));
        return 0;
    }
    return 1;
}

// Raw 115200 8N1 on the pair; set through the master it applies to the slave
// side, and stays while the master is open even when the slave is closed.
static int OpenPseudoTerminal(void)
{
    sim.masterFd = posix_openpt(O_RDWR | O_NOCTTY);
    if (sim.masterFd < 0) {
        fprintf(stderr, "boxsim: error: posix_openpt failed: %s\n", strerror(errno));
        return 0;
    }
    if (grantpt(sim.masterFd) != 0) {
        fprintf(stderr, "boxsim: error: grantpt failed: %s\n", strerror(errno));
        return 0;
    }
    if (unlockpt(sim.masterFd) != 0) {
        fprintf(stderr, "boxsim: error: unlockpt failed: %s\n", strerror(errno));
        return 0;
    }
    int result = ptsname_r(sim.masterFd, sim.slavePath, sizeof sim.slavePath);
    if (result != 0) {
        fprintf(stderr, "boxsim: error: ptsname_r failed: %s\n", strerror(result));
        return 0;
    }
    struct termios mode;
    if (tcgetattr(sim.masterFd, &mode) != 0) {
        fprintf(stderr, "boxsim: error: tcgetattr on the pty failed: %s\n", strerror(errno));
        return 0;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (cfsetispeed(&mode, B115200) != 0 || cfsetospeed(&mode, B115200) != 0) {
        fprintf(stderr, "boxsim: error: cfsetspeed 115200 failed: %s\n", strerror(errno));
        return 0;
    }
    if (tcsetattr(sim.masterFd, TCSANOW, &mode) != 0) {
        fprintf(stderr, "boxsim: error: tcsetattr on the pty failed: %s\n", strerror(errno));
        return 0;
    }
    // A master whose slave was never opened does not poll as hung up, so open
    // and close the slave once: from then on POLLHUP means "nobody there".
    int slave = open(sim.slavePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        fprintf(stderr, "boxsim: error: open %s failed: %s\n", sim.slavePath, strerror(errno));
        return 0;
    }
    if (close(slave) != 0) {
        fprintf(stderr, "boxsim: error: close %s failed: %s\n", sim.slavePath, strerror(errno));
        return 0;
    }
    return SetNonBlocking(sim.masterFd, "the pty master");
}

// Replaces PATH only if it is a symlink or absent, through a rename so that a
// reader never sees it missing.
static int MakeLink(void)
{
    struct stat info;
    if (lstat(opt.linkPath, &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            fprintf(stderr, "boxsim: error: --link %s exists and is not a symlink; not replacing it\n",
                    opt.linkPath);
            return 0;
        }
    } else if (errno != ENOENT) {
        fprintf(stderr, "boxsim: error: lstat %s failed: %s\n", opt.linkPath, strerror(errno));
        return 0;
    }
    std::string temporary = std::string(opt.linkPath) + ".boxsim-" + std::to_string((long)getpid());
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        fprintf(stderr, "boxsim: error: unlink %s failed: %s\n", temporary.c_str(), strerror(errno));
        return 0;
    }
    if (symlink(sim.slavePath, temporary.c_str()) != 0) {
        fprintf(stderr, "boxsim: error: symlink %s -> %s failed: %s\n", temporary.c_str(), sim.slavePath,
                strerror(errno));
        return 0;
    }
    if (rename(temporary.c_str(), opt.linkPath) != 0) {
        fprintf(stderr, "boxsim: error: rename %s to %s failed: %s\n", temporary.c_str(), opt.linkPath,
                strerror(errno));
        if (unlink(temporary.c_str()) != 0)
            fprintf(stderr, "boxsim: error: unlink %s failed: %s\n", temporary.c_str(), strerror(errno));
        return 0;
    }
    sim.linkMade = 1;
    return 1;
}

// Removes the link only while it still points at this run's pty.
static void RemoveLink(void)
{
    if (!sim.linkMade)
        return;
    char target[sizeof sim.slavePath];
    ssize_t n = readlink(opt.linkPath, target, sizeof target - 1);
    if (n < 0) {
        fprintf(stderr, "boxsim: error: readlink %s failed: %s\n", opt.linkPath, strerror(errno));
        return;
    }
    target[n] = '\0';
    if (strcmp(target, sim.slavePath) != 0) {
        fprintf(stderr, "boxsim: error: %s now points to %s; leaving it\n", opt.linkPath, target);
        return;
    }
    if (unlink(opt.linkPath) != 0)
        fprintf(stderr, "boxsim: error: unlink %s failed: %s\n", opt.linkPath, strerror(errno));
}

static void OnSignal(int number)
{
    int saved = errno;
    unsigned char byte = (unsigned char)number;
    if (write(signalWriteFd, &byte, 1) < 0) {
        // Pipe full: a signal of the same kind is already waiting.
    }
    errno = saved;
}

static int InstallSignals(void)
{
    if (pipe(sim.signalPipe) != 0) {
        fprintf(stderr, "boxsim: error: pipe failed: %s\n", strerror(errno));
        return 0;
    }
    if (!SetNonBlocking(sim.signalPipe[0], "the signal pipe") || !SetNonBlocking(sim.signalPipe[1], "the signal pipe"))
        return 0;
    signalWriteFd = sim.signalPipe[1];
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    const int numbers[] = { SIGUSR1, SIGTERM, SIGINT };
    for (int number : numbers) {
        if (sigaction(number, &action, nullptr) != 0) {
            fprintf(stderr, "boxsim: error: sigaction(%d) failed: %s\n", number, strerror(errno));
            return 0;
        }
    }
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        fprintf(stderr, "boxsim: error: sigaction(SIGPIPE) failed: %s\n", strerror(errno));
        return 0;
    }
    return 1;
}

// Queues bytes for the host; a silent box swallows them. Paced, each byte
// finishes on the line one byte time after the event or the byte before it,
// whichever is later: an idle line saves up no credit.
static void SendBytes(const uint8_t *bytes, size_t count)
{
    if (opt.silent || count == 0)
        return;
    if (sim.tx.size() - sim.txHead + count > BOX_TX_LIMIT) {
        Report("event=tx-overflow dropped=%zu", count);
        return;
    }
    if (sim.txHead > 0 && sim.txHead == sim.tx.size()) {
        sim.tx.clear();
        sim.txDue.clear();
        sim.txHead = 0;
    }
    sim.tx.insert(sim.tx.end(), bytes, bytes + count);
    sim.txQueuedTotal += count;
    if (opt.pace) {
        double due = sim.eventTime > sim.txLineFree ? sim.eventTime : sim.txLineFree;
        for (size_t i = 0; i < count; i++) {
            due += 1.0 / BOX_LINE_RATE;
            sim.txDue.push_back(due);
        }
        sim.txLineFree = due;
    }
}

static void SendText(const char *text)
{
    SendBytes((const uint8_t *)text, strlen(text));
}

static void SendByte(uint8_t byte)
{
    SendBytes(&byte, 1);
}

static void SendPrompt(void)
{
    SendText("\r\n");
    SendText(opt.prompt);
}

static size_t PendingTx(void)
{
    return sim.tx.size() - sim.txHead;
}

// Writes what may go out now; paced, only bytes that have finished on the line.
static void FlushTx(double now)
{
    size_t pending = PendingTx();
    if (pending == 0)
        return;
    size_t allowed = pending;
    if (opt.pace) {
        allowed = 0;
        while (allowed < pending && sim.txDue[sim.txHead + allowed] <= now)
            allowed++;
        if (allowed == 0)
            return;
    }
    ssize_t written = write(sim.masterFd, sim.tx.data() + sim.txHead, allowed);
    if (written < 0) {
        if (errno == EAGAIN) {
            sim.txBlocked = 1;
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
    sim.txBlocked = 0;
    sim.txHead += (size_t)written;
    sim.txWrittenTotal += (uint64_t)written;
    if (sim.goAheadMarkActive && sim.txWrittenTotal >= sim.goAheadMark) {
        sim.goAheadMarkActive = 0;
        sim.goAheadTime = now;
    }
    if (sim.ackEndMarkActive && sim.txWrittenTotal >= sim.ackEndMark) {
        sim.ackEndMarkActive = 0;
        sim.ackEndTime = now;
    }
    if (PendingTx() == 0) {
        sim.tx.clear();
        sim.txDue.clear();
        sim.txHead = 0;
        sim.txDrainTime = now;
    }
}

static void FlushIgnored(void)
{
    if (sim.ignoredCount == 0)
        return;
    char hex[8 * 3 + 1];
    hex[0] = '\0';
    for (int i = 0; i < sim.ignoredFirstCount; i++)
        snprintf(hex + 3 * i, sizeof hex - 3 * i, "%s%02X", i ? " " : "", sim.ignoredFirst[i]);
    Report("event=ignored bytes=%u state=%s first=%s", sim.ignoredCount,
           opt.silent ? "silent" : BOX_STATE_NAMES[sim.ignoredState], hex);
    sim.ignoredCount = 0;
    sim.ignoredFirstCount = 0;
}

static void NoteIgnored(uint8_t byte)
{
    if (sim.ignoredCount > 0 && sim.ignoredState != sim.state)
        FlushIgnored();
    sim.ignoredState = sim.state;
    if (sim.ignoredFirstCount < 8)
        sim.ignoredFirst[sim.ignoredFirstCount++] = byte;
    sim.ignoredCount++;
}

static void RecordCommand(const char *text)
{
    if (!sim.commands.empty())
        sim.commands += ',';
    sim.commands += text;
}

static int InTransfer(void)
{
    return sim.state == BOX_STATE_HANDSHAKE || sim.state == BOX_STATE_LENGTH ||
           sim.state == BOX_STATE_BLOCK || sim.state == BOX_STATE_ACKING;
}

// Writes through a side file and a rename, so a reader sees old or new, whole.
static int WriteImage(const char *path, const std::vector<uint8_t> &data, size_t count)
{
    std::string temporary = std::string(path) + ".part";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        fprintf(stderr, "boxsim: error: open %s failed: %s\n", temporary.c_str(), strerror(errno));
        return 0;
    }
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, data.data() + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "boxsim: error: write %s failed: %s\n", temporary.c_str(), strerror(errno));
            close(fd);
            unlink(temporary.c_str());
            return 0;
        }
        done += (size_t)n;
    }
    if (close(fd) != 0) {
        fprintf(stderr, "boxsim: error: close %s failed: %s\n", temporary.c_str(), strerror(errno));
        unlink(temporary.c_str());
        return 0;
    }
    if (rename(temporary.c_str(), path) != 0) {
        fprintf(stderr, "boxsim: error: rename %s to %s failed: %s\n", temporary.c_str(), path, strerror(errno));
        unlink(temporary.c_str());
        return 0;
    }
    return 1;
}

// Nearest-rank percentile of sorted values.
static double Percentile(const std::vector<double> &sorted, double fraction)
{
    size_t rank = (size_t)ceil(fraction * (double)sorted.size());
    return sorted[rank > 0 ? rank - 1 : 0];
}

// The transfer's turnarounds in ms, and its data phase in microseconds (the
// verdict's data_seconds has too few digits to calibrate against).
static void PrintTurnarounds(double dataSeconds)
{
    if (sim.turnarounds.empty())
        return;
    std::vector<double> sorted = sim.turnarounds;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0.0;
    for (double value : sorted)
        sum += value;
    Report("turnaround blocks=%zu p50=%.3f p99=%.3f max=%.3f mean=%.3f data_us=%.0f", sorted.size(),
           Percentile(sorted, 0.50) * 1000.0, Percentile(sorted, 0.99) * 1000.0, sorted.back() * 1000.0,
           sum / (double)sorted.size() * 1000.0, dataSeconds * 1e6);
}

static void PrintVerdict(const char *status, double now)
{
    char lengthText[16];
    char addressText[16];
    if (sim.lengthKnown)
        snprintf(lengthText, sizeof lengthText, "%u", sim.length);
    else
        snprintf(lengthText, sizeof lengthText, "none");
    if (sim.hasAddress)
        snprintf(addressText, sizeof addressText, "0x%08x", sim.address);
    else
        snprintf(addressText, sizeof addressText, "none");
    double seconds = 0.0;
    if (sim.goAheadTime > 0.0 && sim.lastSendTime > sim.goAheadTime)
        seconds = sim.lastSendTime - sim.goAheadTime;
    PrintTurnarounds(seconds);
    Report("verdict=%s bytes=%u blocks=%u checksum_errors=%u length=%s address=%s data_seconds=%.2f commands=%s",
           status, sim.received, sim.blocksAcked, sim.checksumErrors, lengthText, addressText, seconds,
           sim.commands.c_str());
    sim.verdicts++;
    if (opt.exitAfter > 0 && sim.verdicts >= opt.exitAfter && !sim.exitPending) {
        sim.exitPending = 1;
        sim.exitPendingSince = now;
    }
}

static void ResetTransfer(void)
{
    sim.handshakeMatch = 0;
    sim.lengthFill = 0;
    sim.lengthKnown = 0;
    sim.length = 0;
    sim.image.clear();
    sim.received = 0;
    sim.blocksAcked = 0;
    sim.checksumErrors = 0;
    sim.blockIndex = 0;
    sim.ackCount = 0;
    sim.ackPos = 0;
    sim.ackDue = 0.0;
    sim.goAheadTime = 0.0;
    sim.lastSendTime = 0.0;
    sim.goAheadMarkActive = 0;
    sim.blockEndTime = 0.0;
    sim.ackEndMarkActive = 0;
    sim.ackEndTime = 0.0;
    sim.turnarounds.clear();
}

static void StartHandshake(double now)
{
    ResetTransfer();
    SendBytes(BOX_HANDSHAKE, sizeof BOX_HANDSHAKE);
    sim.state = BOX_STATE_HANDSHAKE;
    sim.handshakeDeadline = now + BOX_HANDSHAKE_MS / 1000.0 +
                            (opt.pace ? (double)PendingTx() / BOX_LINE_RATE : 0.0);
    Report("event=handshake");
}

static void PowerOn(const char *source, double now)
{
    FlushIgnored();
    if (InTransfer()) {
        Report("event=abandon reason=power-on state=%s", BOX_STATE_NAMES[sim.state]);
        sim.lastSendTime = sim.txDrainTime;
        PrintVerdict("incomplete", now);
    }
    Report("event=power-on source=%s", source);
    sim.lastPowerOn = now;
    sim.lineLength = 0;
    ResetTransfer();
    if (opt.silent) {
        sim.state = BOX_STATE_OFF;
        return;
    }
    SendText("\r\n");
    SendText(BOOT_BANNER);
    SendText("\r\n");
    sim.state = BOX_STATE_STOP_WINDOW;
    sim.stopDeadline = now + opt.stopWindowMs / 1000.0 +
                       (opt.pace ? (double)PendingTx() / BOX_LINE_RATE : 0.0);
}

static void BackToMonitor(void)
{
    SendPrompt();
    sim.state = BOX_STATE_MONITOR;
    sim.lineLength = 0;
}

static void Reject(uint8_t byte, const char *reason, double now)
{
    Report("event=reject block=%u byte=0x%02X reason=%s", sim.blockIndex, byte, reason);
    SendByte(byte);
    sim.lastSendTime = now;
    PrintVerdict("rejected", now);
    BackToMonitor();
    if (opt.rehandshake)
        StartHandshake(now);
}

static void Complete(double now)
{
    sim.lastSendTime = sim.txDrainTime > 0.0 ? sim.txDrainTime : now;
    if (opt.outPath) {
        if (WriteImage(opt.outPath, sim.image, sim.received))
            Report("event=image-written path=%s bytes=%u", opt.outPath, sim.received);
        else
            Report("event=image-write-failed path=%s", opt.outPath);
    }
    PrintVerdict("complete", now);
    BackToMonitor();
}

static void StartBlock(double now)
{
    sim.blockIndex++;
    uint32_t remaining = sim.length - sim.received;
    sim.blockLength = remaining < BOX_BLOCK_SIZE ? remaining : BOX_BLOCK_SIZE;
    sim.blockFill = 0;
    sim.blockSum = 0;
    sim.checksum = 0;
    sim.checksumFill = 0;
    sim.waitSince = now;
    sim.state = BOX_STATE_BLOCK;
}

static void AddAckStep(int withStray)
{
    AckStep *step = &sim.acks[sim.ackCount++];
    step->delayMs = opt.slowMs;
    step->length = 0;
    if (withStray) {
        memcpy(step->bytes, BOX_STRAY, sizeof BOX_STRAY);
        step->length = (int)sizeof BOX_STRAY;
    }
    step->bytes[step->length++] = BOX_ACK;
}

// A good block: plan its two acks, bent by whichever fault is set for it.
static void AcceptBlock(void)
{
    sim.received += sim.blockLength;
    sim.blocksAcked++;
    int n = (int)sim.blockIndex;
    int stray = 0;
    sim.ackCount = 0;
    sim.ackPos = 0;
    sim.ackDue = 0.0;
    if (opt.strayBlock == n && !sim.strayUsed) {
        sim.strayUsed = 1;
        stray = 1;
        Report("event=stray block=%d", n);
    }
    if (opt.dropAllAcksBlock == n && !sim.dropAllAcksUsed) {
        sim.dropAllAcksUsed = 1;
        Report("event=drop-all-acks block=%d", n);
    } else if (opt.dropAckBlock == n && !sim.dropAckUsed) {
        sim.dropAckUsed = 1;
        Report("event=drop-ack block=%d", n);
        AddAckStep(stray);
    } else {
        AddAckStep(stray);
        AddAckStep(stray);
    }
    if (opt.lateAckBlock == n && !sim.lateAckUsed && sim.ackCount > 0) {
        sim.lateAckUsed = 1;
        sim.acks[0].delayMs += opt.lateAckMs;
        Report("event=late-ack block=%d ms=%d", n, opt.lateAckMs);
    }
    sim.state = BOX_STATE_ACKING;
}

static void EndBlock(double now)
{
    if (opt.rejectBlock == (int)sim.blockIndex && !sim.rejectUsed) {
        sim.rejectUsed = 1;
        Reject((uint8_t)opt.rejectByte, "injected", now);
        return;
    }
    if (sim.checksum != sim.blockSum) {
        sim.checksumErrors++;
        Report("event=checksum-error block=%u sent=0x%08x summed=0x%08x", sim.blockIndex, sim.checksum,
               sim.blockSum);
        Reject(BOX_REJECT, "checksum", now);
        return;
    }
    sim.blockEndTime = now;
    AcceptBlock();
}

// Sends the planned ack steps one after the other, each its delay after the
// previous one is out: paced, after it finished on the line (the block for
// the first), so a late wake-up delays nothing; unpaced, after it was
// written. When all are out, the next block or the end of the transfer follows.
static void StepAcks(double now)
{
    while (sim.ackPos < sim.ackCount) {
        AckStep *step = &sim.acks[sim.ackPos];
        if (sim.ackDue == 0.0) {
            double after = now;
            if (opt.pace)
                after = sim.ackPos == 0 ? sim.blockEndTime : sim.txLineFree;
            else if (PendingTx() > 0)
                return;
            sim.ackDue = after + step->delayMs / 1000.0;
        }
        if (now < sim.ackDue)
            return;
        sim.eventTime = opt.pace ? sim.ackDue : now;
        SendBytes(step->bytes, (size_t)step->length);
        sim.eventTime = now;
        sim.ackDue = 0.0;
        sim.ackPos++;
        if (sim.ackPos == sim.ackCount) {
            sim.ackEndMarkActive = 1;
            sim.ackEndMark = sim.txQueuedTotal;
        }
        FlushTx(now);
    }
    if (PendingTx() > 0)
        return;
    sim.lastSendTime = sim.ackCount > 0 ? sim.txDrainTime : now;
    if (sim.received >= sim.length)
        Complete(now);
    else
        StartBlock(now);
}

static void StartLoad(double now)
{
    Report("event=load address=%s", sim.hasAddress ? "given" : "none");
    StartHandshake(now);
}

static int IsHexDigits(const char *text, int count)
{
    for (int i = 0; i < count; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return 0;
    }
    return 1;
}

static void HandleLine(double now)
{
    sim.line[sim.lineLength] = '\0';
    sim.lineLength = 0;
    const char *text = sim.line;
    if (text[0] == '\0') {
        SendPrompt();
        return;
    }
    RecordCommand(text);
    Report("event=command text=%s", text);
    if (strcmp(text, "mon") == 0) {
        SendPrompt();
    } else if (strcmp(text, "boot") == 0) {
        SendText("\r\n");
        PowerOn("boot-command", now);
    } else if (strcmp(text, "q") == 0) {
        sim.hasAddress = 0;
        StartLoad(now);
    } else if (strlen(text) == 12 && strncmp(text, "q 0x", 4) == 0 && IsHexDigits(text + 4, 8)) {
        sim.hasAddress = 1;
        sim.address = (uint32_t)strtoul(text + 4, nullptr, 16);
        StartLoad(now);
    } else {
        SendText("\r\n?\r\n");
        SendText(opt.prompt);
    }
}

static void HandleMonitorByte(uint8_t byte, double now)
{
    if (byte == '\r') {
        HandleLine(now);
    } else if (byte == 0x08 || byte == 0x7F) {
        if (sim.lineLength > 0) {
            sim.lineLength--;
            SendText("\b \b");
        }
    } else if (byte >= 0x20 && byte <= 0x7E) {
        if (sim.lineLength < BOX_LINE_MAX) {
            sim.line[sim.lineLength++] = (char)byte;
            SendByte(byte);
        }
    }
}

// One byte from the host. 0 when it cannot be taken yet (acks still going
// out); it is then offered again later.
static int HandleByte(uint8_t byte, double now)
{
    if (opt.silent) {
        NoteIgnored(byte);
        return 1;
    }
    switch (sim.state) {
    case BOX_STATE_OFF:
    case BOX_STATE_RUNNING:
        NoteIgnored(byte);
        return 1;
    case BOX_STATE_STOP_WINDOW:
        if (byte == 's') {
            FlushIgnored();
            RecordCommand("s");
            Report("event=stop");
            if (opt.handshakeFirst) {
                // Like a box left waiting for data: no prompt, straight into a load.
                sim.lineLength = 0;
                sim.hasAddress = 0;
                StartLoad(now);
            } else {
                BackToMonitor();
            }
        } else {
            NoteIgnored(byte);
        }
        return 1;
    case BOX_STATE_MONITOR:
        HandleMonitorByte(byte, now);
        return 1;
    case BOX_STATE_HANDSHAKE:
        if (byte == BOX_HOST_1) {
            sim.handshakeMatch = 1;
        } else if (byte == BOX_HOST_2 && sim.handshakeMatch) {
            FlushIgnored();
            SendByte(BOX_ACK);
            sim.goAheadMarkActive = 1;
            sim.goAheadMark = sim.txQueuedTotal;
            sim.state = BOX_STATE_LENGTH;
            sim.waitSince = now;
            Report("event=go-ahead");
        } else {
            if (sim.handshakeMatch)
                NoteIgnored(BOX_HOST_1);
            sim.handshakeMatch = 0;
            NoteIgnored(byte);
        }
        return 1;
    case BOX_STATE_LENGTH:
        sim.waitSince = now;
        sim.lengthBytes[sim.lengthFill++] = byte;
        if (sim.lengthFill == 4) {
            sim.length = ((uint32_t)sim.lengthBytes[0] << 24) | ((uint32_t)sim.lengthBytes[1] << 16) |
                         ((uint32_t)sim.lengthBytes[2] << 8) | (uint32_t)sim.lengthBytes[3];
            sim.lengthKnown = 1;
            Report("event=length bytes=%u", sim.length);
            if (sim.length > BOX_MAX_LENGTH) {
                Reject(BOX_REJECT, "length-too-big", now);
            } else if (sim.length == 0) {
                Complete(now);
            } else {
                sim.image.assign(sim.length, 0);
                StartBlock(now);
            }
        }
        return 1;
    case BOX_STATE_BLOCK:
        sim.waitSince = now;
        if (sim.blockFill == 0 && sim.checksumFill == 0 && sim.ackEndTime > 0.0) {
            sim.turnarounds.push_back(sim.byteArrival - sim.ackEndTime);
            sim.ackEndTime = 0.0;
        }
        if (sim.blockFill < sim.blockLength) {
            sim.image[sim.received + sim.blockFill] = byte;
            sim.blockFill++;
            sim.blockSum += byte;
        } else {
            sim.checksum = (sim.checksum << 8) | byte;
            sim.checksumFill++;
            if (sim.checksumFill == 4)
                EndBlock(now);
        }
        return 1;
    case BOX_STATE_ACKING:
    default:
        return 0;
    }
}

// Hands the protocol every byte that is off the line, at the time it came off,
// so what it answers is paced from then, however late this loop woke up.
static void ProcessInput(double now)
{
    while (!sim.rx.empty()) {
        const RxByte &next = sim.rx.front();
        if (opt.pace && next.due > now)
            break;
        sim.eventTime = opt.pace ? next.due : now;
        sim.byteArrival = next.arrival;
        if (!HandleByte(next.value, sim.eventTime))
            break;
        sim.rx.pop_front();
    }
    sim.eventTime = now;
    FlushIgnored();
}

static void RunTimers(double now)
{
    if (sim.state == BOX_STATE_STOP_WINDOW && now >= sim.stopDeadline) {
        FlushIgnored();
        SendText("\r\nBooting firmware...\r\n");
        sim.state = BOX_STATE_RUNNING;
        Report("event=boot");
    }
    if (sim.state == BOX_STATE_HANDSHAKE && now >= sim.handshakeDeadline) {
        FlushIgnored();
        Report("event=no-host");
        SendText("\r\nno host\r\n");
        SendText(opt.prompt);
        sim.state = BOX_STATE_MONITOR;
        PrintVerdict("incomplete", now);
    }
    if ((sim.state == BOX_STATE_LENGTH || sim.state == BOX_STATE_BLOCK) &&
        now - sim.waitSince >= opt.rxTimeoutMs / 1000.0) {
        FlushIgnored();
        Report("event=abandon reason=rx-timeout state=%s block=%u", BOX_STATE_NAMES[sim.state], sim.blockIndex);
        PrintVerdict("incomplete", now);
        BackToMonitor();
    }
    if (sim.state == BOX_STATE_ACKING)
        StepAcks(now);
    if (opt.autobootSeconds > 0.0 && !InTransfer() && sim.state != BOX_STATE_MONITOR &&
        now >= sim.lastPowerOn + opt.autobootSeconds)
        PowerOn("autoboot", now);
}

static double EarlierOf(double a, double b)
{
    if (a < 0.0)
        return b;
    if (b < 0.0)
        return a;
    return a < b ? a : b;
}

// When the loop must next look, -1 for never. Paced bytes that must not be
// late (output, and the last input byte, which output may answer) are looked
// for BOX_SPIN_S early and then polled for without sleeping.
static double NextWake(double now)
{
    double due = -1.0;
    if (sim.state == BOX_STATE_STOP_WINDOW)
        due = EarlierOf(due, sim.stopDeadline);
    if (sim.state == BOX_STATE_HANDSHAKE)
        due = EarlierOf(due, sim.handshakeDeadline);
    if (sim.state == BOX_STATE_LENGTH || sim.state == BOX_STATE_BLOCK)
        due = EarlierOf(due, sim.waitSince + opt.rxTimeoutMs / 1000.0);
    if (sim.state == BOX_STATE_ACKING) {
        if (sim.ackPos < sim.ackCount && (opt.pace || PendingTx() == 0))
            due = EarlierOf(due, sim.ackDue > 0.0 ? sim.ackDue - BOX_SPIN_S : now);
        else if (PendingTx() == 0)
            due = EarlierOf(due, now);
    }
    if (opt.autobootSeconds > 0.0 && !InTransfer() && sim.state != BOX_STATE_MONITOR)
        due = EarlierOf(due, sim.lastPowerOn + opt.autobootSeconds);
    if (opt.pace && PendingTx() > 0 && !sim.txBlocked)
        due = EarlierOf(due, sim.txDue[sim.txHead] - BOX_SPIN_S);
    // Held input waits for the acks, which have deadlines of their own.
    if (opt.pace && !sim.rx.empty() && sim.state != BOX_STATE_ACKING) {
        due = EarlierOf(due, sim.rx.front().due + BOX_RX_BATCH_S);
        due = EarlierOf(due, sim.rx.back().due - BOX_SPIN_S);
    }
    if (!opt.pace && !sim.rx.empty() && sim.state != BOX_STATE_ACKING)
        due = EarlierOf(due, now);
    if (sim.exitPending)
        due = EarlierOf(due, now + 0.01);
    if (!sim.clientPresent)
        due = EarlierOf(due, now + BOX_CLIENT_RECHECK_MS / 1000.0);
    return due;
}

// With nobody on the slave the master polls as hung up for good, so it is
// left out of the main poll and looked at again every few milliseconds.
static void CheckClient(void)
{
    if (sim.clientPresent)
        return;
    struct pollfd probe;
    probe.fd = sim.masterFd;
    probe.events = POLLIN;
    probe.revents = 0;
    int n = poll(&probe, 1, 0);
    if (n < 0) {
        if (errno != EINTR)
            fprintf(stderr, "boxsim: error: poll on the pty failed: %s\n", strerror(errno));
        return;
    }
    if (!(probe.revents & POLLHUP)) {
        sim.clientPresent = 1;
        Report("event=client-open");
    }
}

static void ClientGone(void)
{
    if (!sim.clientPresent)
        return;
    sim.clientPresent = 0;
    Report("event=client-closed");
}

// Reads all the host has sent, so each byte is stamped when it reached the
// pty. Paced, a byte is off the line one byte time after its arrival or the
// byte before it, whichever is later, so no pause of the host is hidden.
static void ReadMaster(double now)
{
    static uint8_t buffer[BOX_RX_LIMIT];
    size_t room = BOX_RX_LIMIT - sim.rx.size();
    if (room == 0)
        return;
    ssize_t n = read(sim.masterFd, buffer, room);
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
        if (opt.pace) {
            byte.due = (now > sim.rxLineFree ? now : sim.rxLineFree) + 1.0 / BOX_LINE_RATE;
            sim.rxLineFree = byte.due;
        }
        sim.rx.push_back(byte);
    }
}

static void HandleStdinLine(const char *text, double now)
{
    if (text[0] == '\0')
        return;
    if (strcmp(text, "power") == 0) {
        PowerOn("stdin", now);
    } else if (strcmp(text, "quit") == 0) {
        sim.quitRequested = 1;
        sim.quitReason = "quit";
    } else {
        fprintf(stderr, "boxsim: error: unknown stdin command '%s' (power, quit)\n", text);
    }
}

static void ReadStdin(double now)
{
    char buffer[512];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        fprintf(stderr, "boxsim: error: read from stdin failed: %s; no longer reading it\n", strerror(errno));
        sim.stdinOpen = 0;
        return;
    }
    if (n == 0) {
        sim.stdinOpen = 0;
        Report("event=stdin-closed");
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        char c = buffer[i];
        if (c == '\n') {
            if (sim.stdinOverflow) {
                fprintf(stderr, "boxsim: error: stdin line too long; ignored\n");
            } else {
                while (sim.stdinLength > 0 && (sim.stdinLine[sim.stdinLength - 1] == '\r' ||
                                               sim.stdinLine[sim.stdinLength - 1] == ' '))
                    sim.stdinLength--;
                sim.stdinLine[sim.stdinLength] = '\0';
                HandleStdinLine(sim.stdinLine, now);
            }
            sim.stdinLength = 0;
            sim.stdinOverflow = 0;
        } else if (sim.stdinLength + 1 < sizeof sim.stdinLine) {
            sim.stdinLine[sim.stdinLength++] = c;
        } else {
            sim.stdinOverflow = 1;
        }
    }
}

static void ReadSignals(double now)
{
    unsigned char numbers[32];
    ssize_t n = read(sim.signalPipe[0], numbers, sizeof numbers);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR)
            fprintf(stderr, "boxsim: error: read from the signal pipe failed: %s\n", strerror(errno));
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (numbers[i] == SIGUSR1) {
            PowerOn("signal", now);
        } else {
            sim.quitRequested = 1;
            sim.quitReason = numbers[i] == SIGTERM ? "sigterm" : "sigint";
        }
    }
}

static int RunLoop(void)
{
    while (!sim.quitRequested) {
        double now = NowSeconds();
        sim.eventTime = now;
        CheckClient();
        FlushTx(now);
        ProcessInput(now);
        RunTimers(now);
        FlushTx(now);
        if (sim.exitPending && ((PendingTx() == 0 && now - sim.exitPendingSince >= 0.1) ||
                                now - sim.exitPendingSince >= BOX_EXIT_DRAIN_MS / 1000.0)) {
            sim.quitReason = "exit-after";
            break;
        }

        struct pollfd fds[3];
        int count = 0;
        int signalIndex = count;
        fds[count].fd = sim.signalPipe[0];
        fds[count].events = POLLIN;
        count++;
        int stdinIndex = -1;
        if (sim.stdinOpen) {
            stdinIndex = count;
            fds[count].fd = STDIN_FILENO;
            fds[count].events = POLLIN;
            count++;
        }
        int masterIndex = -1;
        if (sim.clientPresent) {
            masterIndex = count;
            fds[count].fd = sim.masterFd;
            fds[count].events = 0;
            if (sim.rx.size() < BOX_RX_LIMIT)
                fds[count].events |= POLLIN;
            if (PendingTx() > 0 && (!opt.pace || sim.txBlocked))
                fds[count].events |= POLLOUT;
            count++;
        }
        for (int i = 0; i < count; i++)
            fds[i].revents = 0;

        // ppoll: a byte lasts 87 us, poll() counts in milliseconds.
        double due = NextWake(now);
        struct timespec wait = { 0, 0 };
        if (due > now) {
            double seconds = due - now < 3600.0 ? due - now : 3600.0;
            wait.tv_sec = (time_t)seconds;
            wait.tv_nsec = (long)((seconds - (double)wait.tv_sec) * 1e9);
        }
        int ready = ppoll(fds, (nfds_t)count, due < 0.0 ? nullptr : &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "boxsim: error: ppoll failed: %s\n", strerror(errno));
            return 0;
        }
        now = NowSeconds();
        sim.eventTime = now;
        if (fds[signalIndex].revents & POLLIN)
            ReadSignals(now);
        if (stdinIndex >= 0 && (fds[stdinIndex].revents & (POLLIN | POLLHUP | POLLERR)))
            ReadStdin(now);
        if (stdinIndex >= 0 && (fds[stdinIndex].revents & POLLNVAL)) {
            fprintf(stderr, "boxsim: error: stdin is not open; no longer reading it\n");
            sim.stdinOpen = 0;
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
    int wantHelp = 0;
    if (!ParseOptions(argc, argv, &wantHelp))
        return 2;
    if (wantHelp) {
        PrintUsage(stdout);
        return 0;
    }
    sim.masterFd = -1;
    sim.stdinOpen = 1;
    if (!InstallSignals())
        return 1;
    if (!OpenPseudoTerminal())
        return 1;
    if (opt.linkPath && !MakeLink())
        return 1;
    sim.lastPowerOn = NowSeconds();
    sim.state = BOX_STATE_OFF;
    Report("ready pty=%s", sim.slavePath);
    int ok = RunLoop();
    FlushIgnored();
    Report("event=exit reason=%s", ok ? sim.quitReason : "error");
    RemoveLink();
    if (close(sim.masterFd) != 0)
        fprintf(stderr, "boxsim: error: close of the pty master failed: %s\n", strerror(errno));
    return ok ? 0 : 1;
}
