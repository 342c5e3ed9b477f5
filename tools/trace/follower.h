// Follows the upload through both directions of the line, so the trace can
// summarise each block in one line however its bytes were split into reads.
// The box's handshake AA 55 11 22 and then its go-ahead FA start a transfer:
// the PC sends the 4-byte length (most significant first), then blocks of
// 1024 data bytes (the last one shorter, never padded), each followed by the
// 4-byte sum of its data bytes, and after each block the box answers FA
// twice. A reject (F0, FE), or anything the box says while the PC should be
// sending, ends the transfer as the box sees it.
#ifndef TESSEL_TRACE_FOLLOWER_H
#define TESSEL_TRACE_FOLLOWER_H

#include <cstdint>

// What a byte from the PC is.
#define FOLLOW_TEXT_BYTE  0   // not part of a block
#define FOLLOW_BLOCK_BYTE 1   // a data or checksum byte of a block
#define FOLLOW_BLOCK_DONE 2   // the last checksum byte: the block is complete

struct FollowedBlock {
    uint32_t number;         // 1, 2, ... within the transfer
    uint32_t length;         // data bytes it should have
    uint32_t dataSeen;
    int checksumSeen;        // 0 to 4
    uint32_t checksum;       // the checksum bytes seen, as sent: most significant first
    uint32_t sum;            // of the data bytes seen, unsigned 32-bit
};

struct BlockFollower {
    int state;
    int handshakePos;
    int lengthFill;
    uint32_t length;
    uint32_t sent;           // data bytes of the complete blocks
    int acks;
    FollowedBlock block;     // the block being sent or the last one complete
};

void StartFollower(BlockFollower *follower);
// A byte from the PC: one of the FOLLOW_ values above.
int FollowPcByte(BlockFollower *follower, uint8_t byte);
// A byte from the box: 1 when it broke off a block part-way; the block's
// record then holds what came of it.
int FollowBoxByte(BlockFollower *follower, uint8_t byte);
// 1 while a block has begun and is not complete.
int IsBlockUnderway(const BlockFollower *follower);

#endif
