// The end of a transfer as boxsim reports it: the received image written
// out whole, the turnaround figures and the verdict line, and --exit-after.
#include "boxsim/box.h"
#include "line/clock.h"
#include "line/spread.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

// Writes through a side file and a rename, so a reader sees old or new, whole.
int WriteImage(const char *path, const std::vector<uint8_t> &data, size_t count)
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

// The transfer's turnarounds in ms, and its data phase in microseconds (the
// verdict's data_seconds has too few digits to calibrate against).
static void printTurnarounds(double dataSeconds)
{
    if (box.turnarounds.empty())
        return;
    Spread t = SpreadOf(box.turnarounds);
    Report("turnaround blocks=%zu p50=%.3f p90=%.3f p99=%.3f max=%.3f mean=%.3f data_us=%.0f", t.count,
           t.p50 * 1000.0, t.p90 * 1000.0, t.p99 * 1000.0, t.max * 1000.0, t.mean * 1000.0, dataSeconds * 1e6);
}

// With --block-times: each turnaround's ends, moved to the raw monotonic
// clock that a traced program's time stamps under Wine count in.
static void writeBlockTimes(void)
{
    if (!boxOptions.blockTimesPath || box.turnaroundEnds.empty())
        return;
    FILE *file = fopen(boxOptions.blockTimesPath, "w");
    if (!file) {
        Report("event=block-times-failed path=%s", boxOptions.blockTimesPath);
        return;
    }
    struct timespec raw;
    clock_gettime(CLOCK_MONOTONIC_RAW, &raw);
    double offset = (double)raw.tv_sec + (double)raw.tv_nsec / 1e9 - ReadClock();
    for (size_t i = 0; i + 1 < box.turnaroundEnds.size(); i += 2)
        fprintf(file, "%.0f %.0f\n", (box.turnaroundEnds[i] + offset) * 1e6, (box.turnaroundEnds[i + 1] + offset) * 1e6);
    fclose(file);
}

// Through the adapter: how long it held each block's acks, in ms.
static void printAckHolds(void)
{
    if (box.ackHolds.empty())
        return;
    Spread h = SpreadOf(box.ackHolds);
    Report("adapter latency_ms=%d blocks=%zu hold_p50=%.3f hold_max=%.3f hold_mean=%.3f hold_total_ms=%.1f",
           boxOptions.adapterLatencyMs, h.count, h.p50 * 1000.0, h.max * 1000.0, h.mean * 1000.0, h.total * 1000.0);
}

void PrintVerdict(const char *status, double now)
{
    char lengthText[16];
    char addressText[16];
    if (box.lengthKnown)
        snprintf(lengthText, sizeof lengthText, "%u", box.length);
    else
        snprintf(lengthText, sizeof lengthText, "none");
    if (box.hasAddress)
        snprintf(addressText, sizeof addressText, "0x%08x", box.address);
    else
        snprintf(addressText, sizeof addressText, "none");
    double seconds = 0.0;
    if (box.goAheadTime > 0.0 && box.lastSendTime > box.goAheadTime)
        seconds = box.lastSendTime - box.goAheadTime;
    printTurnarounds(seconds);
    writeBlockTimes();
    printAckHolds();
    Report("verdict=%s bytes=%u blocks=%u checksum_errors=%u length=%s address=%s data_seconds=%.2f commands=%s",
           status, box.received, box.blocksAcked, box.checksumErrors, lengthText, addressText, seconds,
           box.commands.c_str());
    box.verdicts++;
    if (boxOptions.exitAfter > 0 && box.verdicts >= boxOptions.exitAfter && !box.exitPending) {
        box.exitPending = 1;
        box.exitPendingSince = now;
    }
}
