// linecal: plays both ends of an XMODEM-1K-like exchange over the pacer's two
// pty ends, so the pacer's own timing can be checked against a known pause.
//   linecal --a PATH --b PATH [--frames N] [--block-delay MS]
// The sender on A writes each 1029-byte frame (STX, block number and its
// complement, 1024 data, 2 check bytes) in one write; the receiver on B reads
// it whole, checks every byte and answers ACK; the sender waits for the ACK
// and then MS milliseconds before the next frame, and after the last one
// sends EOT, which the receiver acknowledges too. Exit 0: every byte came
// through; 1: a FAIL line on stderr says what went wrong; 2: bad options.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "line/args.h"
#include "line/clock.h"
#include "line/expect.h"
#include "line/tty.h"

#define LINECAL_STX          0x02
#define LINECAL_EOT          0x04
#define LINECAL_ACK          0x06
#define LINECAL_DATA         1024
#define LINECAL_FRAME        (3 + LINECAL_DATA + 2)
#define LINECAL_FRAMES       64
#define LINECAL_MAX_FRAMES   100000
#define LINECAL_MAX_DELAY_MS 10000.0
#define LINECAL_TIMEOUT_MS   5000

struct LinecalOptions {
    const char *pathA;
    const char *pathB;
    long frames;
    double blockDelayMs;
};

static LinecalOptions opt;

static void printUsage(FILE *to)
{
    fprintf(to,
        "usage: linecal --a PATH --b PATH [--frames N] [--block-delay MS]\n"
        "Sends N (64) 1 KiB frames from A to B through the pacer, each acknowledged,\n"
        "waiting MS (0, decimal) after each acknowledgement, then EOT.\n");
}

static int parseOptions(int argc, char **argv, int *wantHelp)
{
    opt.frames = LINECAL_FRAMES;
    *wantHelp = 0;
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        if (strcmp(name, "--help") == 0) {
            *wantHelp = 1;
            return 1;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "linecal: error: %s needs a value or is unknown (see --help)\n", name);
            return 0;
        }
        const char *text = argv[++i];
        if (strcmp(name, "--a") == 0) {
            opt.pathA = text;
        } else if (strcmp(name, "--b") == 0) {
            opt.pathB = text;
        } else if (strcmp(name, "--frames") == 0) {
            if (!ParseWholeNumber(name, text, 1, LINECAL_MAX_FRAMES, &opt.frames))
                return 0;
        } else if (strcmp(name, "--block-delay") == 0) {
            if (!ParseMilliseconds(name, text, LINECAL_MAX_DELAY_MS, &opt.blockDelayMs))
                return 0;
        } else {
            fprintf(stderr, "linecal: error: unknown option '%s' (see --help)\n", name);
            return 0;
        }
    }
    if (!opt.pathA || !opt.pathB) {
        fprintf(stderr, "linecal: error: --a PATH and --b PATH are required\n");
        return 0;
    }
    return 1;
}

// One message from A to B and B's ACK back to A.
static int exchange(int a, int b, const uint8_t *message, size_t count, const char *what)
{
    static const uint8_t ACK = LINECAL_ACK;
    // The whole frame in one write, as a sender with a ready buffer does.
    double deadline = ReadClock() + LINECAL_TIMEOUT_MS / 1000.0;
    return WriteBefore(a, message, count, deadline, what) &&
           ExpectBytes(b, message, count, LINECAL_TIMEOUT_MS, what) &&
           WriteBefore(b, &ACK, 1, deadline, "an ACK") && ExpectBytes(a, &ACK, 1, LINECAL_TIMEOUT_MS, "the ACK");
}

static int runFrames(int a, int b)
{
    std::vector<uint8_t> frame(LINECAL_FRAME);
    uint32_t random = 12345;
    double start = ReadClock();
    for (long n = 1; n <= opt.frames; n++) {
        frame[0] = LINECAL_STX;
        frame[1] = (uint8_t)n;
        frame[2] = (uint8_t)(255 - (uint8_t)n);
        uint16_t check = 0;
        for (size_t k = 3; k < 3 + LINECAL_DATA; k++) {
            random ^= random << 13;
            random ^= random >> 17;
            random ^= random << 5;
            frame[k] = (uint8_t)random;
            check = (uint16_t)(check + frame[k]);
        }
        frame[3 + LINECAL_DATA] = (uint8_t)(check >> 8);
        frame[4 + LINECAL_DATA] = (uint8_t)check;
        char what[64];
        snprintf(what, sizeof what, "frame %ld of %ld", n, opt.frames);
        if (!exchange(a, b, frame.data(), frame.size(), what))
            return 0;
        if (opt.blockDelayMs > 0.0)
            WaitUntil(ReadClock() + opt.blockDelayMs / 1000.0);
    }
    static const uint8_t EOT = LINECAL_EOT;
    if (!exchange(a, b, &EOT, 1, "the EOT"))
        return 0;
    printf("linecal: ok frames=%ld delay_ms=%.3f seconds=%.6f\n", opt.frames, opt.blockDelayMs, ReadClock() - start);
    fflush(stdout);
    return 1;
}

int main(int argc, char **argv)
{
    int early = ReadCommandLine("linecal", argc, argv, parseOptions, printUsage);
    if (early >= 0)
        return early;
    int a = OpenRawLine(opt.pathA);
    if (a < 0)
        return 1;
    int b = OpenRawLine(opt.pathB);
    if (b < 0) {
        close(a);
        return 1;
    }
    int ok = runFrames(a, b);
    ok = CloseLine(a, opt.pathA) && ok;
    ok = CloseLine(b, opt.pathB) && ok;
    return ok ? 0 : 1;
}
