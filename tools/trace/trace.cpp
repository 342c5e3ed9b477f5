// Writing the relay's trace; see trace.h. Lines go to a stdio buffer that is
// flushed when the line falls quiet, so the relay's path from one side to
// the other never waits on the file.
#include "trace/trace.h"
#include "line/names.h"

#include <cerrno>
#include <cstring>

static const char *const TRACE_DIRECTIONS[2] = { "pc>box", "box>pc" };

static double msSince(const TraceFile *trace, double at)
{
    return (at - trace->start) * 1000.0;
}

static void noteWriteError(TraceFile *trace)
{
    if (ferror(trace->file) && !trace->failed) {
        fprintf(stderr, "%s: error: writing %s failed: %s\n", lineToolName, trace->path, strerror(errno));
        trace->failed = 1;
    }
}

static void writeBurst(TraceFile *trace)
{
    if (trace->count == 0)
        return;
    char hex[TRACE_LINE_BYTES * 3 + 1];
    char text[TRACE_LINE_BYTES + 1];
    static const char DIGITS[] = "0123456789ABCDEF";
    for (size_t i = 0; i < trace->count; i++) {
        uint8_t byte = trace->bytes[i];
        hex[3 * i] = DIGITS[byte >> 4];
        hex[3 * i + 1] = DIGITS[byte & 15];
        hex[3 * i + 2] = ' ';
        text[i] = byte >= 0x20 && byte <= 0x7E ? (char)byte : '.';
    }
    hex[3 * trace->count - 1] = '\0';
    text[trace->count] = '\0';
    fprintf(trace->file, "%10.3f %s %zu %s | %s\n", msSince(trace, trace->first), TRACE_DIRECTIONS[trace->direction],
            trace->count, hex, text);
    trace->count = 0;
    noteWriteError(trace);
}

// A complete block, or with `ending` what came of one that was broken off.
static void writeBlock(TraceFile *trace, const FollowedBlock *block, const char *ending)
{
    fprintf(trace->file, "%10.3f pc>box block %u: %u + %d bytes", msSince(trace, trace->blockStart), block->number,
            block->dataSeen, block->checksumSeen);
    if (ending)
        fprintf(trace->file, ", %s\n", ending);
    else if (block->checksum == block->sum)
        fprintf(trace->file, ", checksum 0x%08x\n", block->checksum);
    else
        fprintf(trace->file, ", checksum 0x%08x (the data sums to 0x%08x)\n", block->checksum, block->sum);
    noteWriteError(trace);
}

int OpenTrace(TraceFile *trace, const char *path, const char *link, const char *device, double start)
{
    *trace = TraceFile();
    trace->path = path;
    trace->start = start;
    StartFollower(&trace->follower);
    trace->file = fopen(path, "w");
    if (!trace->file) {
        fprintf(stderr, "%s: error: cannot open the trace %s: %s\n", lineToolName, path, strerror(errno));
        return 0;
    }
    fprintf(trace->file,
            "# tracerelay link=%s device=%s: ms since start, pc>box or box>pc, bytes, hex | text ('.' unprintable);"
            " a line is one direction's bytes with no gap over %.0f ms, at most %d; an upload's block is one line"
            " \"block N: DATA + 4 bytes, checksum 0xXXXXXXXX\", the 4 bytes after the data as sent (most significant"
            " first), which should be the sum of the data bytes\n",
            link, device, TRACE_GAP_SECONDS * 1000.0, TRACE_LINE_BYTES);
    noteWriteError(trace);
    return 1;
}

// One byte into the open burst, which first ends if it is of the other
// direction, too old or full.
static void addToBurst(TraceFile *trace, int direction, uint8_t byte, double now)
{
    if (trace->count > 0 && (trace->direction != direction || now - trace->last > TRACE_GAP_SECONDS ||
                             trace->count == TRACE_LINE_BYTES))
        writeBurst(trace);
    if (trace->count == 0) {
        trace->direction = direction;
        trace->first = now;
    }
    trace->bytes[trace->count++] = byte;
    trace->last = now;
}

void TraceBytes(TraceFile *trace, int direction, const uint8_t *bytes, size_t count, double now)
{
    for (size_t i = 0; i < count; i++) {
        if (direction == TRACE_BOX_TO_PC) {
            FollowedBlock cut = trace->follower.block;
            if (FollowBoxByte(&trace->follower, bytes[i])) {
                writeBurst(trace);
                writeBlock(trace, &cut, "broken off by the box");
            }
            addToBurst(trace, direction, bytes[i], now);
            continue;
        }
        int wasUnderway = IsBlockUnderway(&trace->follower);
        int kind = FollowPcByte(&trace->follower, bytes[i]);
        if (kind == FOLLOW_TEXT_BYTE) {
            addToBurst(trace, direction, bytes[i], now);
            continue;
        }
        if (!wasUnderway) {
            writeBurst(trace);
            trace->blockStart = now;
        }
        if (kind == FOLLOW_BLOCK_DONE)
            writeBlock(trace, &trace->follower.block, nullptr);
    }
}

void TraceNote(TraceFile *trace, double now, const char *text)
{
    writeBurst(trace);
    fprintf(trace->file, "%10.3f note %s\n", msSince(trace, now), text);
    fflush(trace->file);
    noteWriteError(trace);
}

double TraceBurstEnd(const TraceFile *trace)
{
    return trace->count > 0 ? trace->last + TRACE_GAP_SECONDS : -1.0;
}

void EndQuietBurst(TraceFile *trace, double now)
{
    if (trace->count == 0 || now - trace->last <= TRACE_GAP_SECONDS)
        return;
    writeBurst(trace);
    fflush(trace->file);
    noteWriteError(trace);
}

int CloseTrace(TraceFile *trace)
{
    writeBurst(trace);
    if (IsBlockUnderway(&trace->follower))
        writeBlock(trace, &trace->follower.block, "broken off at the end of the trace");
    noteWriteError(trace);
    if (fclose(trace->file) != 0 && !trace->failed) {
        fprintf(stderr, "%s: error: closing %s failed: %s\n", lineToolName, trace->path, strerror(errno));
        trace->failed = 1;
    }
    trace->file = nullptr;
    return !trace->failed;
}
