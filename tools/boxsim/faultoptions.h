// The faults that boxsim plays and hostsim expects, as both take them on
// their command lines: one table of name, kind, range and field, so that a
// fault is spelt, bounded and refused alike by both. Each tool keeps its own
// options in a table of the same rows and parses both with TakeOptionValue.
#ifndef TESSEL_BOXSIM_FAULTOPTIONS_H
#define TESSEL_BOXSIM_FAULTOPTIONS_H

#include "../../upload/protocol.h"

#include <cstddef>
#include <cstdint>

// Given for --stray before each ack of the block.
static const uint8_t FAULT_STRAY[4] = { 0x00, 0x41, 0x0D, 0x11 };

struct FaultOptions {
    int dropAckBlock;
    int dropAllAcksBlock;
    int rejectBlock;
    int rejectByte = PROTOCOL_REJECT1;
    int rehandshake;
    int strayBlock;
    int strayBetween;   // one stray byte (00) between every block's two acks
    int handshakeFirst;
    int lateAckBlock;
    int lateAckMs;
};

extern FaultOptions faultOptions;

#define OPTION_FLAG          0   // no value: the field becomes 1
#define OPTION_NUMBER        1   // a whole number in [low, high]
#define OPTION_REJECT_BYTE   2   // F0 or FE, 0x before it or not
#define OPTION_BLOCK_AND_MS  3   // --late-ack: a block in [low, high], then milliseconds

struct OptionRow {
    const char *name;
    int kind;
    long low, high;
    int *field;
};

extern const OptionRow FAULT_OPTION_ROWS[];
extern const size_t FAULT_OPTION_COUNT;

// The row named name among the fault options, then among rows; nullptr if none.
const OptionRow *FindOptionRow(const OptionRow *rows, size_t count, const char *name);
// Takes the row's values from argv after *at (the caller saw the first is
// there) into its field, moving *at past them; 0 after a message if one is bad.
int TakeOptionValue(const OptionRow *row, int argc, char **argv, int *at);

#endif
