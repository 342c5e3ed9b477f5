// The upload follower of the trace; see follower.h.
#include "follower.h"
#include "../../upload/protocol.h"

#define FOLLOW_IDLE     0   // no transfer
#define FOLLOW_GO_AHEAD 1   // the box sent the handshake; its next byte says whether to go
#define FOLLOW_LENGTH   2
#define FOLLOW_BLOCK    3   // the PC sends a block
#define PROTOCOL_ACKS     4   // the block is complete; the box acknowledges it


void StartFollower(BlockFollower *follower)
{
    *follower = BlockFollower();
}

static void startBlock(BlockFollower *follower, uint32_t number)
{
    uint32_t left = follower->length - follower->sent;
    follower->block = FollowedBlock();
    follower->block.number = number;
    follower->block.length = left < BLOCK_SIZE ? left : BLOCK_SIZE;
    follower->state = FOLLOW_BLOCK;
}

int FollowPcByte(BlockFollower *follower, uint8_t byte)
{
    if (follower->state == FOLLOW_LENGTH) {
        follower->length = (follower->length << 8) | byte;
        if (++follower->lengthFill == 4) {
            follower->sent = 0;
            if (follower->length == 0)
                follower->state = FOLLOW_IDLE;
            else
                startBlock(follower, 1);
        }
        return FOLLOW_TEXT_BYTE;
    }
    if (follower->state != FOLLOW_BLOCK)
        return FOLLOW_TEXT_BYTE;
    FollowedBlock *block = &follower->block;
    if (block->dataSeen < block->length) {
        block->dataSeen++;
        block->sum += byte;
        return FOLLOW_BLOCK_BYTE;
    }
    block->checksum = (block->checksum << 8) | byte;
    if (++block->checksumSeen < 4)
        return FOLLOW_BLOCK_BYTE;
    follower->sent += block->length;
    follower->acks = 0;
    follower->state = PROTOCOL_ACKS;
    return FOLLOW_BLOCK_DONE;
}

int IsBlockUnderway(const BlockFollower *follower)
{
    return follower->state == FOLLOW_BLOCK && (follower->block.dataSeen > 0 || follower->block.checksumSeen > 0);
}

int FollowBoxByte(BlockFollower *follower, uint8_t byte)
{
    int brokeOff = IsBlockUnderway(follower);
    // 1. The handshake starts a transfer in any state: a box that gave up
    //    starts afresh. Matched as the program matches it.
    if (byte == PROTOCOL_HANDSHAKE[follower->handshakePos]) {
        if (++follower->handshakePos == 4) {
            follower->handshakePos = 0;
            follower->state = FOLLOW_GO_AHEAD;
            return brokeOff;
        }
    } else {
        follower->handshakePos = 0;
    }
    // 2. The transfer as the box sees it.
    switch (follower->state) {
    case FOLLOW_GO_AHEAD:
        if (byte == PROTOCOL_ACK) {
            follower->length = 0;
            follower->lengthFill = 0;
            follower->state = FOLLOW_LENGTH;
        } else {
            follower->state = FOLLOW_IDLE;
        }
        return 0;
    case FOLLOW_LENGTH:
    case FOLLOW_BLOCK:
        follower->state = FOLLOW_IDLE;
        return brokeOff;
    case PROTOCOL_ACKS:
        if (byte == PROTOCOL_REJECT1 || byte == PROTOCOL_REJECT2) {
            follower->state = FOLLOW_IDLE;
        } else if (byte == PROTOCOL_ACK && ++follower->acks == 2) {
            if (follower->sent < follower->length)
                startBlock(follower, follower->block.number + 1);
            else
                follower->state = FOLLOW_IDLE;
        }
        return 0;
    default:
        return 0;
    }
}
