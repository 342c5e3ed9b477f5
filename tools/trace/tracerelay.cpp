// tracerelay: sits on the serial line between the PC's program and the box
// and writes down everything that passes, without changing a byte.
//   tracerelay --link LINK --device DEV --trace FILE [--hold-us N]
// DEV is the box's side (a serial device, or a box simulator's pty link);
// LINK becomes a symlink to a pty of ours, which the program opens (under
// Wine, $WINEPREFIX/dosdevices/com1). This file owns the options, the
// set-up and the way out; relay.cpp the loop, trace.cpp the file.
#include "trace/relay.h"
#include "line/args.h"
#include "line/clock.h"
#include "line/names.h"
#include "line/signals.h"
#include "line/tty.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <signal.h>
#include <unistd.h>

#define RELAY_MAX_HOLD_US 1000000

struct RelayOptions {
    const char *linkPath;
    const char *devicePath;
    const char *tracePath;
    long holdUs;
};

static void printUsage(FILE *to)
{
    fprintf(to,
        "usage: tracerelay --link LINK --device DEV --trace FILE [--hold-us N]\n"
        "Relays every byte between the box on DEV (raw 115200 8N1 if a tty) and a pty\n"
        "linked at LINK, unchanged, and writes each burst of bytes to the trace FILE.\n"
        "  --hold-us N   hold each chunk N microseconds before passing it on, to check\n"
        "                that a measurement sees the relay's cost (0)\n"
        "Prints \"tracerelay: ready link=LINK device=DEV\" once LINK is there.\n"
        "Exit 0 on SIGINT or SIGTERM, 1 when DEV is gone, 2 when it cannot start.\n");
}

static int parseOptions(int argc, char **argv, RelayOptions *options, int *wantHelp)
{
    *options = RelayOptions();
    *wantHelp = 0;
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        if (strcmp(name, "--help") == 0) {
            *wantHelp = 1;
            return 1;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            fprintf(stderr, "tracerelay: error: %s needs a value or is unknown (see --help)\n", name);
            return 0;
        }
        const char *text = argv[++i];
        if (strcmp(name, "--link") == 0) {
            options->linkPath = text;
        } else if (strcmp(name, "--device") == 0) {
            options->devicePath = text;
        } else if (strcmp(name, "--trace") == 0) {
            options->tracePath = text;
        } else if (strcmp(name, "--hold-us") == 0) {
            if (!ParseWholeNumber(name, text, 0, RELAY_MAX_HOLD_US, &options->holdUs))
                return 0;
        } else {
            fprintf(stderr, "tracerelay: error: unknown option '%s' (see --help)\n", name);
            return 0;
        }
    }
    if (!options->linkPath || !options->devicePath || !options->tracePath) {
        fprintf(stderr, "tracerelay: error: --link, --device and --trace are required (see --help)\n");
        return 0;
    }
    return 1;
}

// Everything up to the ready line; 0 after a message if any step failed.
static int setUp(Relay *relay, const RelayOptions *options)
{
    // 1. The signals first, so a stop that comes at once is not lost.
    static const int STOP_SIGNALS[2] = { SIGINT, SIGTERM };
    relay->signals = OpenSignalPipe(STOP_SIGNALS, 2);
    if (relay->signals < 0)
        return 0;
    // 2. The box's side, then the file, then the PC's side and its link.
    relay->device = OpenRawLine(options->devicePath);
    if (relay->device < 0)
        return 0;
    if (!OpenTrace(&relay->trace, options->tracePath, options->linkPath, options->devicePath, ReadClock()))
        return 0;
    if (!OpenLinePty(&relay->pty) || !LinkLinePty(&relay->pty, options->linkPath))
        return 0;
    printf("tracerelay: ready link=%s device=%s\n", options->linkPath, options->devicePath);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "tracerelay: error: writing stdout failed: %s\n", strerror(errno));
        return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    lineToolName = "tracerelay";
    RelayOptions options;
    int wantHelp = 0;
    if (!parseOptions(argc, argv, &options, &wantHelp))
        return 2;
    if (wantHelp) {
        printUsage(stdout);
        return 0;
    }
    Relay relay = Relay();
    relay.pty.master = -1;
    relay.device = -1;
    relay.devicePath = options.devicePath;
    relay.holdSeconds = (double)options.holdUs / 1e6;
    int result = 2;
    if (setUp(&relay, &options))
        result = RunRelay(&relay) ? 0 : 1;
    if (relay.trace.file && !CloseTrace(&relay.trace) && result == 0)
        result = 1;
    CloseLinePty(&relay.pty);
    if (relay.device >= 0)
        CloseLine(relay.device, options.devicePath);
    return result;
}
