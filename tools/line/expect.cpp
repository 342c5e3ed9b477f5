// Checked writes and reads of a test driver; see expect.h.
#include "expect.h"
#include "clock.h"
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <poll.h>
#include <unistd.h>

#define EXPECT_CONTEXT_BYTES 48   // bytes shown before a wrong one

void HexDump(char *out, size_t size, const uint8_t *bytes, size_t count)
{
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < count && used + 4 < size; i++)
        used += (size_t)snprintf(out + used, size - used, "%s%02X", i ? " " : "", bytes[i]);
}

int WriteBefore(int fd, const uint8_t *bytes, size_t count, double deadline, const char *what)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, bytes + done, count - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fprintf(stderr, "%s: FAIL: writing %s: write failed: %s\n", lineToolName, what, strerror(errno));
            return 0;
        }
        double left = deadline - ReadClock();
        if (left <= 0.0) {
            fprintf(stderr, "%s: FAIL: writing %s: the line took only %zu of %zu bytes in time\n", lineToolName,
                    what, done, count);
            return 0;
        }
        struct pollfd p = { fd, POLLOUT, 0 };
        if (poll(&p, 1, (int)(left * 1000.0) + 1) < 0 && errno != EINTR) {
            fprintf(stderr, "%s: FAIL: writing %s: poll failed: %s\n", lineToolName, what, strerror(errno));
            return 0;
        }
    }
    return 1;
}

int ExpectBytes(int fd, const uint8_t *want, size_t count, int timeoutMs, const char *what)
{
    std::vector<uint8_t> got;
    got.reserve(count);
    double deadline = ReadClock() + timeoutMs / 1000.0;
    char hex[3 * 96];
    while (got.size() < count) {
        double left = deadline - ReadClock();
        if (left <= 0.0) {
            HexDump(hex, sizeof hex, got.data(), got.size());
            fprintf(stderr, "%s: FAIL: %s: timed out after %d ms with %zu of %zu bytes [%s]\n", lineToolName, what,
                    timeoutMs, got.size(), count, hex);
            return 0;
        }
        struct pollfd p = { fd, POLLIN, 0 };
        int ready = poll(&p, 1, (int)(left * 1000.0) + 1);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "%s: FAIL: %s: poll failed: %s\n", lineToolName, what, strerror(errno));
            return 0;
        }
        if (ready <= 0)
            continue;
        uint8_t buffer[4096];
        size_t wanted = count - got.size();
        ssize_t n = read(fd, buffer, wanted < sizeof buffer ? wanted : sizeof buffer);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            fprintf(stderr, "%s: FAIL: %s: read failed: %s\n", lineToolName, what, strerror(errno));
            return 0;
        }
        if (n == 0) {
            fprintf(stderr, "%s: FAIL: %s: the line closed\n", lineToolName, what);
            return 0;
        }
        for (ssize_t i = 0; i < n; i++) {
            size_t at = got.size();
            got.push_back(buffer[i]);
            if (buffer[i] != want[at]) {
                size_t from = at > EXPECT_CONTEXT_BYTES ? at - EXPECT_CONTEXT_BYTES : 0;
                HexDump(hex, sizeof hex, got.data() + from, got.size() - from);
                fprintf(stderr, "%s: FAIL: %s: byte %zu of %zu is 0x%02X, expected 0x%02X; last bytes [%s]\n",
                        lineToolName, what, at, count, buffer[i], want[at], hex);
                return 0;
            }
        }
    }
    return 1;
}
