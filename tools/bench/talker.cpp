// talker: a box that talks without pause (a boot log, a box in a boot loop),
// for the benchmark's stream case. It writes boot-log text into a pty linked
// at PATH at the line's rate, BURST bytes a write (12 as a UART FIFO or a
// USB frame delivers them, 1 for a byte at a time), each write at its due
// time, until SIGTERM or SIGINT; then it prints the bytes and the rate it
// kept, so the figures beside it can be trusted.
// Usage: talker --link PATH [--burst N]
#include "line/args.h"
#include "line/clock.h"
#include "line/pacing.h"
#include "line/pty.h"
#include "line/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

static const char BOOT_LOG[] =
    "\r\nCPU0 revision 2.1, 300 MHz, timer calibrated, memory test 64 MB ok\r\n"
    "flash: bank 0 sectors 0-127, checksum ok, image header missing, retrying\r\n";

int main(int argc, char **argv)
{
    const char *link = nullptr;
    long burst = 12;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            link = argv[++i];
        } else if (strcmp(argv[i], "--burst") == 0 && i + 1 < argc) {
            if (!ParseWholeNumber("--burst", argv[++i], 1, 64, &burst))
                return 2;
        } else {
            fprintf(stderr, "usage: talker --link PATH [--burst N]\n");
            return 2;
        }
    }
    if (!link) {
        fprintf(stderr, "talker: --link PATH is needed\n");
        return 2;
    }
    const int stops[] = { SIGTERM, SIGINT };
    int signals = OpenSignalPipe(stops, 2);
    LinePty pty = { -1, "", "" };
    if (signals < 0 || !OpenLinePty(&pty) || !LinkLinePty(&pty, link))
        return 1;
    prctl(PR_SET_TIMERSLACK, 1UL);   // wake-ups on time, not up to 50 us late
    printf("talker: link=%s burst=%ld\n", link, burst);
    fflush(stdout);

    double due = ReadClock(), first = 0;
    long long written = 0;
    size_t at = 0;
    for (;;) {
        struct timespec wait = MakeTimespec(due - ReadClock());
        struct pollfd stop = { signals, POLLIN, 0 };
        if (ppoll(&stop, 1, &wait, nullptr) > 0)
            break;
        char bytes[64];
        for (long i = 0; i < burst; i++, at = (at + 1) % (sizeof BOOT_LOG - 1))
            bytes[i] = BOOT_LOG[at];
        // Nobody on the line yet (or any more): the bytes go nowhere, as on a real cable.
        if (HasPtyClient(&pty)) {
            ssize_t n = write(pty.master, bytes, size_t(burst));
            if (n > 0 && written == 0)
                first = ReadClock();
            if (n > 0)
                written += n;
        }
        due += burst / LINE_BYTES_PER_SECOND;
    }
    double seconds = written ? ReadClock() - first : 0;
    double rate = seconds > 0 ? written / seconds : 0;
    printf("talker: bytes=%lld seconds=%.1f rate=%.0f line=%.1f%%\n", written, seconds, rate,
           100.0 * rate / LINE_BYTES_PER_SECOND);
    CloseLinePty(&pty);
    return 0;
}
