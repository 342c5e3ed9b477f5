// What the robustness runs share: the faults they strike (one table for the
// run of the program's own process and the run of TesselFlash.exe), seeded
// random numbers, an image of its own for every run and the box's verdict.
#ifndef TESSEL_RUNSUPPORT_H
#define TESSEL_RUNSUPPORT_H

#include "tests/port_harness.h"
#include <cstdint>
#include <string>
#include <vector>

// The faults the box simulator plays come first; the last two are struck
// from outside at 30 % of a paced transfer, so only the paced run has them.
enum Fault {
    FAULT_NONE, FAULT_DROP_ACK, FAULT_DROP_ALL_ACKS, FAULT_REJECT_F0, FAULT_REJECT_FE, FAULT_STRAY,
    FAULT_LATE_ACK, FAULT_HANDSHAKE_FIRST, FAULT_QUICK_RETRY, FAULT_REHANDSHAKE, FAULT_CHATTER,
    FAULT_LATE_HANDSHAKE, FAULT_UNPACED_COUNT,
    FAULT_KILL = FAULT_UNPACED_COUNT, FAULT_PTY_GONE, FAULT_COUNT
};
struct FaultRow {
    const char *name;
    const char *box;       // the box simulator's options, given the fault's number and its ms
    const char *noWayOn;   // once the box logs this, the run cannot complete; null: it may
    int mustComplete;      // the protocol rides it out (quick-retry: unless the box falls silent)
    const char *detail;    // the run line's words on it, given the same two numbers
};
extern const FaultRow FAULTS[FAULT_COUNT];

// The faults named by a comma-separated list among the first COUNT of the
// table, or all of them for "each"; empty when a name is not one of them.
std::vector<int> ParseFaults(const char *names, int count);
// A fault's box options or words given its numbers. NUMBER: the block the
// fault strikes, the chatter's bytes, or how long after the completion the
// handshake comes again; MS: the late ack's delay, or how long after the
// block left without acks the handshake comes again.
std::string FaultText(const char *format, int number, int ms);

void SeedRandom(uint32_t seed);
uint32_t RandomBelow(uint32_t n);
// A seed for one run of a series, unrelated to its neighbours'.
uint32_t MixSeed(uint32_t seed, uint32_t run);
// A number in [low, high].
int RandomBetween(int low, int high);

// A valid image of the given size whose bytes after the header depend on
// salt too, so that no two runs send the same bytes; written to a file
// named after name, returned with its contents.
std::string WriteRunImage(const std::string &name, uint32_t size, uint32_t salt, Bytes *contents);
int ReceivedEquals(const Bytes &image);   // the box's received.bin
std::string DescribeReceived(const Bytes &image);   // how it differs
std::string VerdictOf(const std::string &boxLog);   // "complete", "incomplete", ...; "none"

#endif
