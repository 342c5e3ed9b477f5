// What the parts of boxsim share: its options (the faults it shares with
// hostsim are in faultoptions.h), the one record of the box's state (plain
// fields, one thread), the states, and the calls between the files:
// boxsim.cpp (main loop), options.cpp, monitor.cpp, transfer.cpp, faults.cpp,
// wire.cpp (the pty and pacing), report.cpp, verdict.cpp.
#ifndef TESSEL_BOXSIM_BOX_H
#define TESSEL_BOXSIM_BOX_H

#include "boxsim/faultoptions.h"
#include "line/adapter.h"
#include "line/pacing.h"
#include "line/pty.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#define BOX_MAX_LENGTH         (64u * 1024u * 1024u)
#define BOX_HANDSHAKE_MS       2000
#define BOX_LINE_MAX           255
#define BOX_TX_LIMIT           (1u << 20)
#define BOX_RX_LIMIT           65536
#define BOX_RX_BATCH_S         0.001     // bytes not last in the queue go to the protocol this late at most
#define BOX_CLIENT_RECHECK_MS  20
#define BOX_EXIT_DRAIN_MS      300
#define BOX_STDIN_LINE_MAX     256

#define BOX_STATE_OFF         0
#define BOX_STATE_STOP_WINDOW 1
#define BOX_STATE_RUNNING     2
#define BOX_STATE_MONITOR     3
#define BOX_STATE_HANDSHAKE   4
#define BOX_STATE_LENGTH      5
#define BOX_STATE_BLOCK       6
#define BOX_STATE_ACKING      7

extern const char *const BOX_STATE_NAMES[];

struct BoxOptions {
    const char *linkPath;
    const char *outPath;
    const char *blockTimesPath;
    const char *prompt;
    int stopWindowMs;
    int rxTimeoutMs;
    double autobootSeconds;
    int exitAfter;
    int silent;
    int slowMs;
    int pace;
    int adapterLatencyMs;     // 0: the PC gets each byte when it is off the line
    int rehandshakeAfterMs;   // 0: no second handshake after acks left out
    int chatterBytes;         // boot log text before each block's acks
    int lateHandshakeMs;      // -1: no handshake again after a completed load
    int handshakeWaitMs;      // how long a handshake waits for the host's answer
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
    LinePty pty;
    int signalFd;                 // read end of the signal pipe
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
    uint8_t lengthBytes[LENGTH_BYTES];
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
    std::vector<double> turnaroundEnds;   // with --block-times: each one's start and end
    // Through the adapter: how long each block's last ack was held in it.
    std::vector<double> ackHolds;

    // Faults fire once each.
    int dropAckUsed;
    int dropAllAcksUsed;
    int rejectUsed;
    int strayUsed;
    int lateAckUsed;
    double rehandshakeDue;        // 0: none planned
    double lateHandshakeDue;
    int lateHandshakeUsed;
    int chatterReported;

    // Bytes to the host; paced, txDue holds when each finishes on the line
    // (through the adapter: when the adapter hands it on), and it is written
    // to the pty no earlier.
    std::vector<uint8_t> tx;
    std::vector<double> txDue;
    size_t txHead;
    uint64_t txQueuedTotal;
    uint64_t txWrittenTotal;
    LinePace txPace;
    LineAdapter adapter;
    double txDrainTime;
    int txBlocked;

    // Bytes from the host not yet handled, and their line's pacing.
    std::deque<RxByte> rx;
    LinePace rxPace;

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

extern BoxOptions boxOptions;
extern BoxSim box;

// options.cpp
void PrintUsage(FILE *to);
int ParseOptions(int argc, char **argv, int *wantHelp);

// report.cpp: every report line goes out whole and at once.
void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));
void NoteIgnored(uint8_t byte);
void FlushIgnored(void);
void RecordCommand(const char *text);

// wire.cpp
void SendBytes(const uint8_t *bytes, size_t count);
void SendText(const char *text);
void SendByte(uint8_t byte);
size_t PendingTx(void);
void FlushTx(double now);
void CheckClient(void);
void ClientGone(void);
void ReadMaster(double now);

// monitor.cpp
void PowerOn(const char *source, double now);
void BackToMonitor(void);
void HandleMonitorByte(uint8_t byte, double now);
void HandleStopWindowByte(uint8_t byte, double now);
void EndStopWindowIfDue(double now);
void AutobootIfDue(double now);

// transfer.cpp
int InTransfer(void);
void ResetTransfer(void);
void StartHandshake(double now);
void HandleTransferByte(uint8_t byte, double now);
void RunTransferTimers(double now);

// faults.cpp
void PlanAcks(int n);
int IsRejectInjected(int n);
void PlanLateHandshake(double now);
void RunFaultTimers(double now);
double FaultTimerDue(void);   // -1: none

// verdict.cpp
int WriteImage(const char *path, const std::vector<uint8_t> &data, size_t count);
void PrintVerdict(const char *status, double now);

#endif
