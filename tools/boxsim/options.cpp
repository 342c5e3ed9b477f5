// boxsim's command line: the usage text, and the options into boxOptions
// (the faults it shares with hostsim into faultOptions).
#include "boxsim/box.h"
#include "boxsim/faultoptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

BoxOptions boxOptions;

void PrintUsage(FILE *to)
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
        "  --rehandshake-after MS  MS after the block that --drop-ack or --drop-all-acks\n"
        "                       cut, drop the load and send the handshake again (once);\n"
        "                       what comes back is logged (a go-ahead if answered)\n"
        "  --chatter N          send N bytes of boot log text before each block's acks\n"
        "  --late-handshake MS  MS after a completed load, if still in the monitor,\n"
        "                       send the handshake once more and load as asked\n"
        "  --block-times FILE   write each turnaround's two ends (second ack written,\n"
        "                       next block's first byte read) in microseconds of\n"
        "                       CLOCK_MONOTONIC_RAW, the clock of Wine's performance counter\n"
        "  --stray-between      send one stray byte (00) between every block's two acks\n"
        "  --handshake-wait MS  how long a handshake waits for the host's answer (2000)\n"
        "  --handshake-first    after the stop, send the load handshake at once instead\n"
        "                       of the prompt, and load as after \"q\" (no address)\n"
        "  --pace               hold both directions to the line rate of 115200 8N1\n"
        "  --adapter-latency MS (with --pace) the PC gets the box's bytes through a USB\n"
        "                       adapter whose chip holds them until its free-running MS\n"
        "                       timer fires or 62 have gathered; an \"adapter\" line then\n"
        "                       gives how long each block's acks were held (ms)\n"
        "  --help               show this text\n"
        "Before the verdict of a load of two blocks or more, a \"turnaround\" line gives\n"
        "p50/p90/p99/max/mean ms from each block's last ack written to the next block's\n"
        "first byte read, and the data phase (go-ahead to last ack) in microseconds.\n"
        "stdin lines: \"power\" powers the box on, \"quit\" exits.\n"
        "SIGUSR1 powers the box on; SIGTERM and SIGINT exit.\n");
}

// boxsim's own options beside the faults it shares with hostsim.
static const OptionRow BOX_OPTION_ROWS[] = {
    { "--silent", OPTION_FLAG, 0, 0, &boxOptions.silent },
    { "--pace", OPTION_FLAG, 0, 0, &boxOptions.pace },
    { "--stop-window", OPTION_NUMBER, 1, 600000, &boxOptions.stopWindowMs },
    { "--rx-timeout", OPTION_NUMBER, 1, 3600000, &boxOptions.rxTimeoutMs },
    { "--exit-after", OPTION_NUMBER, 1, 1000000, &boxOptions.exitAfter },
    { "--adapter-latency", OPTION_NUMBER, 1, LINE_ADAPTER_MAX_MS, &boxOptions.adapterLatencyMs },
    { "--slow", OPTION_NUMBER, 0, 600000, &boxOptions.slowMs },
    { "--rehandshake-after", OPTION_NUMBER, 1, 600000, &boxOptions.rehandshakeAfterMs },
    { "--chatter", OPTION_NUMBER, 1, 65536, &boxOptions.chatterBytes },
    { "--handshake-wait", OPTION_NUMBER, 1, 3600000, &boxOptions.handshakeWaitMs },
    { "--late-handshake", OPTION_NUMBER, 0, 600000, &boxOptions.lateHandshakeMs },
};

int ParseOptions(int argc, char **argv, int *wantHelp)
{
    boxOptions.prompt = "HanSh> ";
    boxOptions.stopWindowMs = 1500;
    boxOptions.rxTimeoutMs = 6000;
    boxOptions.lateHandshakeMs = -1;
    boxOptions.handshakeWaitMs = BOX_HANDSHAKE_MS;
    *wantHelp = 0;
    for (int i = 1; i < argc; i++) {
        const char *name = argv[i];
        if (strcmp(name, "--help") == 0) {
            *wantHelp = 1;
            return 1;
        }
        const OptionRow *row = FindOptionRow(BOX_OPTION_ROWS, sizeof BOX_OPTION_ROWS / sizeof BOX_OPTION_ROWS[0], name);
        if (row && row->kind == OPTION_FLAG) {
            *row->field = 1;
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
        if (row) {
            if (!TakeOptionValue(row, argc, argv, &i))
                return 0;
            continue;
        }
        const char *text = argv[++i];
        if (strcmp(name, "--link") == 0) {
            if (text[0] == '\0') {
                fprintf(stderr, "boxsim: error: --link needs a path\n");
                return 0;
            }
            boxOptions.linkPath = text;
        } else if (strcmp(name, "--out") == 0) {
            if (text[0] == '\0') {
                fprintf(stderr, "boxsim: error: --out needs a path\n");
                return 0;
            }
            boxOptions.outPath = text;
        } else if (strcmp(name, "--block-times") == 0) {
            if (text[0] == '\0') {
                fprintf(stderr, "boxsim: error: --block-times needs a path\n");
                return 0;
            }
            boxOptions.blockTimesPath = text;
        } else if (strcmp(name, "--prompt") == 0) {
            if (text[0] == '\0' || strlen(text) > 64) {
                fprintf(stderr, "boxsim: error: --prompt needs 1 to 64 characters\n");
                return 0;
            }
            boxOptions.prompt = text;
        } else if (strcmp(name, "--autoboot") == 0) {
            char *end = nullptr;
            errno = 0;
            double seconds = strtod(text, &end);
            if (errno != 0 || end == text || *end != '\0' || !(seconds >= 0.1 && seconds <= 86400.0)) {
                fprintf(stderr, "boxsim: error: --autoboot needs seconds from 0.1 to 86400, got '%s'\n", text);
                return 0;
            }
            boxOptions.autobootSeconds = seconds;
        } else {
            fprintf(stderr, "boxsim: error: unknown option '%s' (see --help)\n", name);
            return 0;
        }
    }
    if (boxOptions.adapterLatencyMs > 0 && !boxOptions.pace) {
        fprintf(stderr, "boxsim: error: --adapter-latency needs --pace (the adapter holds bytes off a paced line)\n");
        return 0;
    }
    return 1;
}
