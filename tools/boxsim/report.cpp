// boxsim's report lines on stdout ("boxsim: event=..."), the bytes it
// ignored, gathered into one line per run of them, and the monitor commands
// it took, for the verdict.
#include "boxsim/box.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

const char *const BOX_STATE_NAMES[] = {
    "off", "stop-window", "running", "monitor", "handshake", "length", "block", "acking"
};

// Every report line goes out whole and at once: tests read them as they come.
void Report(const char *format, ...)
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

void FlushIgnored(void)
{
    if (box.ignoredCount == 0)
        return;
    char hex[8 * 3 + 1];
    hex[0] = '\0';
    for (int i = 0; i < box.ignoredFirstCount; i++)
        snprintf(hex + strlen(hex), sizeof hex - strlen(hex), "%s%02X", i ? " " : "", box.ignoredFirst[i]);
    Report("event=ignored bytes=%u state=%s first=%s", box.ignoredCount,
           boxOptions.silent ? "silent" : BOX_STATE_NAMES[box.ignoredState], hex);
    box.ignoredCount = 0;
    box.ignoredFirstCount = 0;
}

void NoteIgnored(uint8_t byte)
{
    if (box.ignoredCount > 0 && box.ignoredState != box.state)
        FlushIgnored();
    box.ignoredState = box.state;
    if (box.ignoredFirstCount < 8)
        box.ignoredFirst[box.ignoredFirstCount++] = byte;
    box.ignoredCount++;
}

void RecordCommand(const char *text)
{
    if (!box.commands.empty())
        box.commands += ',';
    box.commands += text;
}
