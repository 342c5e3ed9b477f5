// The exchange with the box's boot monitor, byte by byte: the one statement
// of its vocabulary, read by the program, the box simulator, the trace and
// the tests (the shell scripts read the banner from here). Plain macros and
// constants, no Windows header, so that the native tools can include it.
#ifndef TESSEL_PROTOCOL_H
#define TESSEL_PROTOCOL_H

#include <cstdint>

// The text the box prints when it starts: a blank, a capital letter and 51
// more characters. The program answers it with "s", which stops the boot.
#define BOOT_BANNER " Tessel IRD Boot Monitor 1.04 - press s to stop boot."
#define BOOT_BANNER_LENGTH 53
#define BANNER_ANSWER 's'

// The box's handshake; the program answers it with ACK and REPLY, the box
// goes ahead with ACK. A byte that does not continue the handshake starts
// the match over at its beginning (that byte itself is not looked at again).
static const uint8_t PROTOCOL_HANDSHAKE[4] = { 0xAA, 0x55, 0x11, 0x22 };
#define PROTOCOL_ACK      0xFA   // the go-ahead, and each of a block's two acknowledgements
#define PROTOCOL_REPLY    0xAA   // the program's answer to the handshake, after an ACK
#define PROTOCOL_REJECT1  0xF0   // instead of an acknowledgement: the transfer is over
#define PROTOCOL_REJECT2  0xFE

// Sizes: the image goes in blocks of BLOCK_SIZE bytes (the last one shorter),
// each followed by the 32-bit sum of its bytes, most significant first; the
// length before the first block is 32 bits too.
#define BLOCK_SIZE      1024
#define CHECKSUM_BYTES  4
#define LENGTH_BYTES    4

// The program's time-outs, in ticks of 250 ms.
#define TICK_MS         250
#define TICKS_ACK       20   // each acknowledgement of a block
#define TICKS_PROMPT    40   // the prompt after power-on
#define TICKS_START     40   // the go-ahead after the typed commands began
#define TICKS_SEND_CR   4    // the prompt after a carriage return typed by hand

#endif
