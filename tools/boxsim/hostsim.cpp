// hostsim: plays the PC side of a firmware load against the box simulator on
// its pty link, and checks every byte the box sends against what a correct
// box must send at that point. It owns the scripted session (banner, stop,
// monitor lines, load command, handshake, length, blocks) and the answers it
// expects when a fault is injected, and the known pause it may take before
// each block, for calibrating paced timing. Exit 0: everything matched; 1: a
// clear FAIL line on stderr says what differed; 2: bad options.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boxsim/faultoptions.h"
#include "line/args.h"
#include "line/clock.h"
#include "line/expect.h"
#include "line/tty.h"

#define HOST_MAX_IMAGE      (64L * 1024L * 1024L)
#define HOST_WRITE_TIMEOUT  10000
#define HOST_QUIET_MS       1000
#define HOST_END_QUIET_MS   300
#define HOST_MAX_DELAY_MS   10000.0

static const uint8_t HOST_ANSWER[2] = { PROTOCOL_ACK, PROTOCOL_REPLY };

struct HostOptions {
    const char *linkPath;
    const char *imagePath;
    const char *address;
    const char *prompt;
    int chunkSeed;            // 0: whole writes
    int earlyStop;
    int unknownCommand;
    int noStop;
    int noAnswer;
    int badChecksumBlock;
    int reboot;
    int boxExits;
    int expectSilenceMs;
    int bannerTimeoutMs;
    int ackTimeoutMs;
    int boxRxTimeoutMs;
    double blockDelayMs;
    double blockSpreadMs;
};

struct HostState {
    int fd;
    std::vector<uint8_t> image;
    uint32_t random;
    uint32_t spreadRandom;    // its own sequence, the same in every run, whatever else is random
    int dropAckUsed;
    int dropAllAcksUsed;
    int rejectUsed;
    int badChecksumUsed;
    int strayUsed;
    int lateAckUsed;
    int transfers;
};

static HostOptions opt;
static HostState host;

static void say(const char *text)
{
    printf("hostsim: %s\n", text);
    fflush(stdout);
}

static uint32_t nextRandom(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

// The drawn part of a block's pause, ms in [0, --block-spread).
static double spreadPause(void)
{
    if (opt.blockSpreadMs <= 0.0)
        return 0.0;
    return opt.blockSpreadMs * (double)(nextRandom(&host.spreadRandom) >> 8) / 16777216.0;
}

static void printUsage(FILE *to)
{
    fprintf(to,
        "usage: hostsim --link PATH --image FILE [options]\n"
        "Plays the PC side of a load against boxsim and checks every byte it answers.\n"
        "  --address 0xHEX       send \"q 0xHEX\" (8 hex digits) instead of \"q\"\n"
        "  --prompt TEXT         the monitor prompt to expect (\"HanSh> \")\n"
        "  --chunked SEED        split writes into random pieces with short pauses\n"
        "  --early-s             send a stray 's' before the banner\n"
        "  --unknown             type an unknown command (with a rub-out), expect \"?\"\n"
        "  --no-stop             do not stop the boot; expect the firmware to boot\n"
        "  --no-answer           do not answer the handshake; expect \"no host\"\n"
        "  --drop-ack N          expect block N to get only one ack\n"
        "  --drop-all-acks N     expect block N to get no ack, then the box to give up\n"
        "  --reject N            expect block N to be rejected\n"
        "  --reject-byte F0|FE   the byte --reject expects (F0)\n"
        "  --rehandshake         after a reject expect a new handshake and load again\n"
        "  --bad-checksum N      send a wrong checksum for block N, expect F0\n"
        "  --stray N             expect stray bytes 00 41 0D 11 before each ack of block N\n"
        "  --reboot              after the load type \"boot\", stop again, load again\n"
        "  --stray-between       expect a stray byte (00) between every block's two acks\n"
        "  --box-exits           the box ends after the session: the line may close\n"
        "  --expect-silence MS   expect the box to send nothing at all for MS\n"
        "  --banner-timeout MS   how long to wait for the banner (10000)\n"
        "  --ack-timeout MS      how long to wait for each answer (5000)\n"
        "  --box-rx-timeout MS   the box's --rx-timeout, for --drop-all-acks (6000)\n"
        "  --block-delay MS      wait MS (decimal) after each block's acks before the next\n"
        "  --block-spread MS     and a further 0 to MS (decimal), drawn afresh for each\n"
        "                        block from a fixed sequence, so that the pauses fall at\n"
        "                        every phase of a timer on the line\n"
        "  --handshake-first     expect the load handshake right after 's', no prompt\n"
        "  --late-ack N MS       expect block N's first ack no sooner than MS after it\n");
}

// hostsim's own options beside the faults it shares with boxsim.
static const OptionRow HOST_OPTION_ROWS[] = {
    { "--early-s", OPTION_FLAG, 0, 0, &opt.earlyStop },
    { "--unknown", OPTION_FLAG, 0, 0, &opt.unknownCommand },
    { "--no-stop", OPTION_FLAG, 0, 0, &opt.noStop },
    { "--no-answer", OPTION_FLAG, 0, 0, &opt.noAnswer },
    { "--reboot", OPTION_FLAG, 0, 0, &opt.reboot },
    { "--box-exits", OPTION_FLAG, 0, 0, &opt.boxExits },
    { "--chunked", OPTION_NUMBER, 1, 0x7FFFFFFF, &opt.chunkSeed },
    { "--bad-checksum", OPTION_NUMBER, 1, 1L << 20, &opt.badChecksumBlock },
    { "--expect-silence", OPTION_NUMBER, 1, 600000, &opt.expectSilenceMs },
    { "--banner-timeout", OPTION_NUMBER, 1, 600000, &opt.bannerTimeoutMs },
    { "--ack-timeout", OPTION_NUMBER, 1, 600000, &opt.ackTimeoutMs },
    { "--box-rx-timeout", OPTION_NUMBER, 1, 600000, &opt.boxRxTimeoutMs },
};

static int parseOptions(int argc, char **argv, int *wantHelp)
{
    opt.prompt = "HanSh> ";
    opt.bannerTimeoutMs = 10000;
    opt.ackTimeoutMs = 5000;
    opt.boxRxTimeoutMs = 6000;
    *wantHelp = 0;
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        if (strcmp(name, "--help") == 0) {
            *wantHelp = 1;
            return 1;
        }
        const OptionRow *row = FindOptionRow(HOST_OPTION_ROWS, sizeof HOST_OPTION_ROWS / sizeof HOST_OPTION_ROWS[0],
                                             name);
        if (row && row->kind == OPTION_FLAG) {
            *row->field = 1;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "hostsim: error: %s needs a value or is unknown (see --help)\n", name);
            return 0;
        }
        if (row) {
            if (!TakeOptionValue(row, argc, argv, &i))
                return 0;
            continue;
        }
        const char *text = argv[++i];
        if (strcmp(name, "--link") == 0) {
            opt.linkPath = text;
        } else if (strcmp(name, "--image") == 0) {
            opt.imagePath = text;
        } else if (strcmp(name, "--prompt") == 0) {
            opt.prompt = text;
        } else if (strcmp(name, "--address") == 0) {
            int good = strlen(text) == 10 && text[0] == '0' && text[1] == 'x';
            for (int k = 2; good && k < 10; k++) {
                char c = text[k];
                good = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            }
            if (!good) {
                fprintf(stderr, "hostsim: error: --address needs 0x and 8 hex digits, got '%s'\n", text);
                return 0;
            }
            opt.address = text;
        } else if (strcmp(name, "--block-delay") == 0 || strcmp(name, "--block-spread") == 0) {
            if (!ParseMilliseconds(name, text, HOST_MAX_DELAY_MS,
                                   strcmp(name, "--block-delay") == 0 ? &opt.blockDelayMs : &opt.blockSpreadMs))
                return 0;
        } else {
            fprintf(stderr, "hostsim: error: unknown option '%s' (see --help)\n", name);
            return 0;
        }
    }
    if (!opt.linkPath) {
        fprintf(stderr, "hostsim: error: --link PATH is required\n");
        return 0;
    }
    if (faultOptions.handshakeFirst && (opt.noStop || opt.unknownCommand || opt.reboot || opt.expectSilenceMs)) {
        fprintf(stderr, "hostsim: error: --handshake-first goes with no --no-stop, --unknown, --reboot or "
                        "--expect-silence\n");
        return 0;
    }
    if (!opt.imagePath && !opt.noStop && !opt.noAnswer && !opt.expectSilenceMs) {
        fprintf(stderr, "hostsim: error: --image FILE is required for a load\n");
        return 0;
    }
    return 1;
}

static int readImage(void)
{
    int fd = open(opt.imagePath, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "hostsim: error: open %s failed: %s\n", opt.imagePath, strerror(errno));
        return 0;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        fprintf(stderr, "hostsim: error: fstat %s failed: %s\n", opt.imagePath, strerror(errno));
        close(fd);
        return 0;
    }
    if (info.st_size <= 0 || info.st_size > HOST_MAX_IMAGE) {
        fprintf(stderr, "hostsim: error: %s has %lld bytes; 1 to %ld wanted\n", opt.imagePath,
                (long long)info.st_size, HOST_MAX_IMAGE);
        close(fd);
        return 0;
    }
    host.image.resize((size_t)info.st_size);
    size_t done = 0;
    while (done < host.image.size()) {
        ssize_t n = read(fd, host.image.data() + done, host.image.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "hostsim: error: read %s failed: %s\n", opt.imagePath,
                    n < 0 ? strerror(errno) : "file shrank");
            close(fd);
            return 0;
        }
        done += (size_t)n;
    }
    if (close(fd) != 0) {
        fprintf(stderr, "hostsim: error: close %s failed: %s\n", opt.imagePath, strerror(errno));
        return 0;
    }
    return 1;
}

// Writes everything within HOST_WRITE_TIMEOUT; chunked, in random pieces of
// 1 to 300 bytes with short random pauses, so the box sees any split.
static int writeAll(const uint8_t *bytes, size_t count, const char *what)
{
    double deadline = ReadClock() + HOST_WRITE_TIMEOUT / 1000.0;
    if (!opt.chunkSeed)
        return WriteBefore(host.fd, bytes, count, deadline, what);
    size_t done = 0;
    while (done < count) {
        size_t piece = 1 + nextRandom(&host.random) % 300;
        if (piece > count - done)
            piece = count - done;
        if (!WriteBefore(host.fd, bytes + done, piece, deadline, what))
            return 0;
        done += piece;
        if (nextRandom(&host.random) % 4 == 0)
            usleep(nextRandom(&host.random) % 1500);
    }
    return 1;
}
static int writeText(const char *text, const char *what)
{
    return writeAll((const uint8_t *)text, strlen(text), what);
}

static int expectBytes(const uint8_t *want, size_t count, int timeoutMs, const char *what)
{
    return ExpectBytes(host.fd, want, count, timeoutMs, what);
}
static int expectText(const std::string &text, int timeoutMs, const char *what)
{
    return expectBytes((const uint8_t *)text.data(), text.size(), timeoutMs, what);
}

// Passes only if not a single byte arrives for ms; with lineMayClose the
// line going away (the box program ended) counts as silence too.
static int expectSilenceOrClose(int ms, int lineMayClose, const char *what)
{
    double deadline = ReadClock() + ms / 1000.0;
    for (;;) {
        double left = deadline - ReadClock();
        if (left <= 0.0)
            return 1;
        struct pollfd p = { host.fd, POLLIN, 0 };
        int ready = poll(&p, 1, (int)(left * 1000.0) + 1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "hostsim: FAIL: %s: poll failed: %s\n", what, strerror(errno));
            return 0;
        }
        if (ready == 0)
            continue;
        uint8_t buffer[64];
        ssize_t n = read(host.fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (lineMayClose && (n == 0 || (n < 0 && errno == EIO))) {
            say("the line closed: the box has ended");
            return 1;
        }
        if (n <= 0) {
            fprintf(stderr, "hostsim: FAIL: %s: read failed: %s\n", what, n < 0 ? strerror(errno) : "line closed");
            return 0;
        }
        char hex[3 * 64];
        HexDump(hex, sizeof hex, buffer, (size_t)n);
        fprintf(stderr, "hostsim: FAIL: %s: expected silence for %d ms, got [%s]\n", what, ms, hex);
        return 0;
    }
}

static int expectSilence(int ms, const char *what)
{
    return expectSilenceOrClose(ms, 0, what);
}

static std::string promptText(void)
{
    return std::string("\r\n") + opt.prompt;
}

static std::string bannerText(void)
{
    return std::string("\r\n") + BOOT_BANNER + "\r\n";
}

static std::string loadCommand(void)
{
    return opt.address ? std::string("q ") + opt.address : std::string("q");
}

static int expectHandshakeAfter(const std::string &echo, const char *what)
{
    std::string want = echo;
    want.append((const char *)PROTOCOL_HANDSHAKE, sizeof PROTOCOL_HANDSHAKE);
    return expectText(want, opt.ackTimeoutMs, what);
}

// The answer, length and blocks of one load, starting right after the
// handshake; 2 when the box ended it early as the options said it would.
static int runTransfer(void)
{
    host.transfers++;
    if (!writeAll(HOST_ANSWER, sizeof HOST_ANSWER, "the handshake answer"))
        return 0;
    uint8_t goAhead = PROTOCOL_ACK;
    if (!expectBytes(&goAhead, 1, opt.ackTimeoutMs, "the go-ahead"))
        return 0;
    double start = ReadClock();
    uint32_t length = (uint32_t)host.image.size();
    uint8_t lengthBytes[LENGTH_BYTES] = {
        (uint8_t)(length >> 24), (uint8_t)(length >> 16), (uint8_t)(length >> 8), (uint8_t)length
    };
    if (!writeAll(lengthBytes, sizeof lengthBytes, "the length"))
        return 0;
    uint32_t blocks = (length + BLOCK_SIZE - 1) / BLOCK_SIZE;
    std::vector<uint8_t> frame;
    double answered = 0.0;
    for (uint32_t n = 1; n <= blocks; n++) {
        uint32_t offset = (n - 1) * BLOCK_SIZE;
        uint32_t size = length - offset < BLOCK_SIZE ? length - offset : BLOCK_SIZE;
        uint32_t sum = 0;
        for (uint32_t k = 0; k < size; k++)
            sum += host.image[offset + k];
        int badChecksum = opt.badChecksumBlock == (int)n && !host.badChecksumUsed;
        if (badChecksum) {
            host.badChecksumUsed = 1;
            sum += 1;
        }
        frame.assign(host.image.begin() + offset, host.image.begin() + offset + size);
        frame.push_back((uint8_t)(sum >> 24));
        frame.push_back((uint8_t)(sum >> 16));
        frame.push_back((uint8_t)(sum >> 8));
        frame.push_back((uint8_t)sum);
        char what[96];
        snprintf(what, sizeof what, "block %u of %u", n, blocks);
        if (n > 1 && (opt.blockDelayMs > 0.0 || opt.blockSpreadMs > 0.0))
            WaitUntil(answered + (opt.blockDelayMs + spreadPause()) / 1000.0);
        if (!writeAll(frame.data(), frame.size(), what))
            return 0;
        snprintf(what, sizeof what, "the answer to block %u of %u", n, blocks);
        if (badChecksum || (faultOptions.rejectBlock == (int)n && !host.rejectUsed)) {
            uint8_t reject = PROTOCOL_REJECT1;
            if (!badChecksum) {
                host.rejectUsed = 1;
                reject = (uint8_t)faultOptions.rejectByte;
            }
            std::string want((const char *)&reject, 1);
            want += promptText();
            if (!expectText(want, opt.ackTimeoutMs, what))
                return 0;
            printf("hostsim: block %u rejected with 0x%02X as expected\n", n, reject);
            fflush(stdout);
            if (!faultOptions.rehandshake)
                return 2;
            if (!expectBytes(PROTOCOL_HANDSHAKE, sizeof PROTOCOL_HANDSHAKE, opt.ackTimeoutMs, "the new handshake"))
                return 0;
            say("new handshake after the reject; loading again from byte 0");
            return runTransfer();
        }
        if (faultOptions.dropAllAcksBlock == (int)n && !host.dropAllAcksUsed) {
            host.dropAllAcksUsed = 1;
            if (!expectSilence(HOST_QUIET_MS, what))
                return 0;
            printf("hostsim: block %u got no ack as expected; waiting for the box to give up\n", n);
            fflush(stdout);
            if (!expectText(promptText(), opt.boxRxTimeoutMs + 3000, "the prompt after the box gave up"))
                return 0;
            return 2;
        }
        if (faultOptions.dropAckBlock == (int)n && !host.dropAckUsed) {
            host.dropAckUsed = 1;
            uint8_t ack = PROTOCOL_ACK;
            if (!expectBytes(&ack, 1, opt.ackTimeoutMs, what) || !expectSilence(HOST_QUIET_MS, what))
                return 0;
            printf("hostsim: block %u got one ack and no second as expected\n", n);
            fflush(stdout);
            answered = ReadClock();
            continue;
        }
        if (faultOptions.strayBlock == (int)n && !host.strayUsed) {
            host.strayUsed = 1;
            std::string stray((const char *)FAULT_STRAY, sizeof FAULT_STRAY);
            stray += (char)PROTOCOL_ACK;
            if (!expectText(stray + stray, opt.ackTimeoutMs, what))
                return 0;
            printf("hostsim: block %u acks came with the stray bytes as expected\n", n);
            fflush(stdout);
            answered = ReadClock();
            continue;
        }
        if (faultOptions.lateAckBlock == (int)n && !host.lateAckUsed) {
            host.lateAckUsed = 1;
            double written = ReadClock();
            uint8_t ack = PROTOCOL_ACK;
            if (!expectBytes(&ack, 1, opt.ackTimeoutMs + faultOptions.lateAckMs, what))
                return 0;
            double ms = (ReadClock() - written) * 1000.0;
            if (ms < faultOptions.lateAckMs - 1.0) {
                fprintf(stderr, "hostsim: FAIL: %s: the first ack came after %.1f ms, expected no sooner than %d ms\n",
                        what, ms, faultOptions.lateAckMs);
                return 0;
            }
            if (!expectBytes(&ack, 1, opt.ackTimeoutMs, what))
                return 0;
            printf("hostsim: block %u first ack came %.1f ms after the block as expected\n", n, ms);
            fflush(stdout);
            answered = ReadClock();
            continue;
        }
        uint8_t acks[3] = { PROTOCOL_ACK, FAULT_STRAY[0], PROTOCOL_ACK };
        if (!faultOptions.strayBetween)
            acks[1] = PROTOCOL_ACK;
        if (!expectBytes(acks, faultOptions.strayBetween ? 3 : 2, opt.ackTimeoutMs, what))
            return 0;
        answered = ReadClock();
    }
    double seconds = ReadClock() - start;
    if (!expectText(promptText(), opt.ackTimeoutMs, "the prompt after the load"))
        return 0;
    printf("hostsim: load done bytes=%u blocks=%u seconds=%.2f rate=%.0f B/s\n", length, blocks, seconds,
           seconds > 0.0 ? (double)length / seconds : 0.0);
    fflush(stdout);
    return 1;
}

// After the handshake: the load, or with --no-answer the box giving up.
static int answerHandshake(void)
{
    if (opt.noAnswer) {
        if (!expectText("\r\nno host\r\n" + std::string(opt.prompt), 2000 + opt.ackTimeoutMs, "the no-host reply"))
            return 0;
        say("no host reported as expected");
        return 2;
    }
    return runTransfer();
}

// Types the load command after two empty lines and runs the load.
static int loadOnce(void)
{
    std::string command = loadCommand();
    if (!writeText(("\r\r" + command + "\r").c_str(), "the load command"))
        return 0;
    if (!expectHandshakeAfter(promptText() + promptText() + command, "the handshake after the load command"))
        return 0;
    return answerHandshake();
}

static int runSession(void)
{
    if (opt.expectSilenceMs) {
        if (!writeText("s\r\rq\r", "input for a dead box") || !expectSilence(opt.expectSilenceMs, "a dead box"))
            return 0;
        say("ok: the box stayed silent");
        return 1;
    }
    if (!expectText(bannerText(), opt.bannerTimeoutMs, "the power-on banner"))
        return 0;
    say("banner seen");
    if (opt.noStop) {
        if (!expectText("\r\nBooting firmware...\r\n", opt.ackTimeoutMs, "the firmware boot") ||
            !expectSilence(HOST_END_QUIET_MS, "after the firmware boot"))
            return 0;
        say("ok: the firmware booted");
        return 1;
    }
    if (faultOptions.handshakeFirst) {
        if (!writeText("s", "the stop") || !expectHandshakeAfter("", "the handshake right after 's'") ||
            answerHandshake() == 0 || !expectSilenceOrClose(HOST_END_QUIET_MS, opt.boxExits, "after the session"))
            return 0;
        printf("hostsim: ok transfers=%d\n", host.transfers);
        fflush(stdout);
        return 1;
    }
    if (!writeText("s", "the stop") || !expectText(promptText(), opt.ackTimeoutMs, "the prompt after 's'"))
        return 0;
    if (!writeText("\r\rmon\r", "the mon command") ||
        !expectText(promptText() + promptText() + "mon" + promptText(), opt.ackTimeoutMs, "the answer to mon"))
        return 0;
    if (opt.unknownCommand) {
        // Typed with a slip rubbed out: the box echoes the rub-out as "\b \b".
        if (!writeText("fx\x7foo\r", "an unknown command") ||
            !expectText(std::string("fx\b \boo\r\n?\r\n") + opt.prompt, opt.ackTimeoutMs, "the answer to foo"))
            return 0;
    }
    int result = loadOnce();
    if (result == 0)
        return 0;
    if (result == 1 && opt.reboot) {
        if (!writeText("boot\r", "the boot command") ||
            !expectText("boot\r\n" + bannerText(), opt.ackTimeoutMs, "the banner after boot"))
            return 0;
        if (!writeText("s", "the stop after boot") ||
            !expectText(promptText(), opt.ackTimeoutMs, "the prompt after the second 's'"))
            return 0;
        say("rebooted and stopped again");
        if (loadOnce() != 1)
            return 0;
    }
    if (!expectSilenceOrClose(HOST_END_QUIET_MS, opt.boxExits, "after the session"))
        return 0;
    printf("hostsim: ok transfers=%d\n", host.transfers);
    fflush(stdout);
    return 1;
}

int main(int argc, char **argv)
{
    int early = ReadCommandLine("hostsim", argc, argv, parseOptions, printUsage);
    if (early >= 0)
        return early;
    host.random = opt.chunkSeed ? (uint32_t)opt.chunkSeed : 1;
    host.spreadRandom = 0x9E3779B9u;
    if (opt.imagePath && !readImage())
        return 1;
    host.fd = OpenRawLine(opt.linkPath);
    if (host.fd < 0)
        return 1;
    if (opt.earlyStop && !writeText("s", "the early stray 's'"))
        return 1;
    printf("hostsim: open link=%s\n", opt.linkPath);
    fflush(stdout);
    int ok = runSession();
    ok = CloseLine(host.fd, opt.linkPath) && ok;
    return ok ? 0 : 1;
}
