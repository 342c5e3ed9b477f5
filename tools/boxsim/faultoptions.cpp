// The fault options' table and the parsing of any option row; see faultoptions.h.
#include "boxsim/faultoptions.h"
#include "line/args.h"
#include "line/names.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#define FAULT_BLOCK_MAX   (1L << 20)
#define FAULT_LATE_MAX_MS 600000

FaultOptions faultOptions;

const OptionRow FAULT_OPTION_ROWS[] = {
    { "--drop-ack", OPTION_NUMBER, 1, FAULT_BLOCK_MAX, &faultOptions.dropAckBlock },
    { "--drop-all-acks", OPTION_NUMBER, 1, FAULT_BLOCK_MAX, &faultOptions.dropAllAcksBlock },
    { "--reject", OPTION_NUMBER, 1, FAULT_BLOCK_MAX, &faultOptions.rejectBlock },
    { "--stray", OPTION_NUMBER, 1, FAULT_BLOCK_MAX, &faultOptions.strayBlock },
    { "--stray-between", OPTION_FLAG, 0, 0, &faultOptions.strayBetween },
    { "--reject-byte", OPTION_REJECT_BYTE, 0, 0, &faultOptions.rejectByte },
    { "--late-ack", OPTION_BLOCK_AND_MS, 1, FAULT_BLOCK_MAX, &faultOptions.lateAckBlock },
    { "--rehandshake", OPTION_FLAG, 0, 0, &faultOptions.rehandshake },
    { "--handshake-first", OPTION_FLAG, 0, 0, &faultOptions.handshakeFirst },
};
const size_t FAULT_OPTION_COUNT = sizeof FAULT_OPTION_ROWS / sizeof FAULT_OPTION_ROWS[0];

const OptionRow *FindOptionRow(const OptionRow *rows, size_t count, const char *name)
{
    for (size_t i = 0; i < FAULT_OPTION_COUNT + count; i++) {
        const OptionRow *row = i < FAULT_OPTION_COUNT ? &FAULT_OPTION_ROWS[i] : &rows[i - FAULT_OPTION_COUNT];
        if (strcmp(name, row->name) == 0)
            return row;
    }
    return nullptr;
}

static int takeNumber(const char *name, const char *text, long low, long high, int *field)
{
    long value = 0;
    if (!ParseWholeNumber(name, text, low, high, &value))
        return 0;
    *field = (int)value;
    return 1;
}

int TakeOptionValue(const OptionRow *row, int argc, char **argv, int *at)
{
    if (row->kind == OPTION_FLAG) {
        *row->field = 1;
        return 1;
    }
    const char *text = argv[++*at];
    if (row->kind == OPTION_NUMBER)
        return takeNumber(row->name, text, row->low, row->high, row->field);
    if (row->kind == OPTION_REJECT_BYTE) {
        const char *hex = text;
        if (hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X'))
            hex += 2;
        if (strcasecmp(hex, "F0") != 0 && strcasecmp(hex, "FE") != 0) {
            fprintf(stderr, "%s: error: --reject-byte must be F0 or FE, got '%s'\n", lineToolName, text);
            return 0;
        }
        *row->field = strcasecmp(hex, "F0") == 0 ? PROTOCOL_REJECT1 : PROTOCOL_REJECT2;
        return 1;
    }
    if (!takeNumber(row->name, text, row->low, row->high, row->field))
        return 0;
    if (*at + 1 >= argc) {
        fprintf(stderr, "%s: error: %s needs a block and milliseconds (see --help)\n", lineToolName, row->name);
        return 0;
    }
    return takeNumber(row->name, argv[++*at], 0, FAULT_LATE_MAX_MS, &faultOptions.lateAckMs);
}
