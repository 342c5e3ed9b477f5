// The upload engine: image selection, the receive-side protocol engine, the
// 250 ms tick with its command sender and watchdogs, and the progress page.
// ProcessReceived runs on the reader thread (R), and so does the completion
// page it opens; the tick, the progress page and every image selection, the
// one the engine asks for included (it waits meanwhile), run on the
// user-interface thread (U). Who touches UploadContext (the one statement of it):
//
// | field | written by | read by | how |
// |---|---|---|---|
// | bannerPos, promptPos, handshakePos, blockBuffer | R; U resets them for a new attempt | R | U only under EngineLock |
// | bannerAnswered | U: 0 at the connect page and on a failure, 1 at the completion's OK; R: 1 when it answers | R | last store wins; each store means the same to R |
// | promptWatch | U arms it (connect page, Send CR) and counts it down; R claims it (a prompt, a handshake) | both | a claim or the last count is a swap: only its winner reports |
// | uploadState | R: IDLE -> STARTING -> WAIT_ACK1 <-> WAIT_ACK2 -> IDLE; R or U: a transfer or attempt -> ENDED; U: IDLE for a new attempt | both | compare-and-swap; U's store under EngineLock |
// | ackWatch1, ackWatch2 | R arms and clears; U counts down | both | compare-and-swap |
// | startWatch | U arms it (command sequence, connect page: EXPIRED -> 0); R arms it at a handshake when unarmed, re-arms it after a reject and claims it at the go-ahead (before its own selection); U counts it down to WATCH_EXPIRED | both | compare-and-swap |
// | imageUser | a selection (U) or a transfer (R) | both | claimed and released by compare-and-swap |
// | imageFile, imageFileSize, imagePath, headerBuffer | the holder of imageUser | the holder | the claim |
// | loadCommand | a selection, while the sender is stopped | the tick, once a sequence set the sender up | SenderLock orders the two |
// | senderState, senderText, senderPos, senderLen | U (tick, set-ups); R (completion's reboot set-up; a failed write's stop) | U | together under SenderLock |
// | transferSize, bytesSent, blocksAcked, blockTotal | R (go-ahead, acknowledgements) | R; U (progress page) | written before the state move that publishes them |
// | progressDialog | U (the progress page registers and unregisters itself) | R, U | swap |
// | attempt | U, under EngineLock, for each new attempt | R, after a page it showed outside the lock | EngineLock |
//
// EngineLock: the engine holds it while it handles a chunk (never across a
// page or a wait); a new attempt, ClosePort and the way out of the program
// take it, so no step of the engine straddles them. A reported failure ends
// its attempt: the report is made by whoever moved uploadState to ENDED,
// and in ENDED the engine answers nothing until the next attempt.
#ifndef TESSEL_UPLOAD_H
#define TESSEL_UPLOAD_H

#include <windows.h>
#include <cstdint>
#include <cstdio>
#include "app/sharedword.h"
#include "upload/protocol.h"

#define HEADER_SIZE        128
#define ALT_HEADER_OFFSET  0x8000
#define MAX_IMAGE_BYTES    0x7FFFFFFF

#define UPLOAD_IDLE       0
#define UPLOAD_STARTING   1
#define UPLOAD_WAIT_ACK1  2
#define UPLOAD_WAIT_ACK2  3
#define UPLOAD_ENDED      4   // a failure was reported: nothing more of this attempt

#define SENDER_IDLE      0
#define SENDER_SEQUENCE  1
#define SENDER_ONCE      2

#define WATCH_EXPIRED  (-1)

#define IMAGE_FREE      0
#define IMAGE_CHOOSING  1
#define IMAGE_SENDING   2

#define CHOOSE_BUSY  3   // another selection or a transfer holds the image; nothing changed

// How soon the engine looks for the box's next byte (the reader's pace).
#define PACE_RIGHT_BEHIND  0   // the second acknowledgement follows the first
#define PACE_SOON          1   // a transfer starts or runs: the box waits for us
#define PACE_ANY_TIME      2   // the box talks on its own: bytes may gather

struct UploadContext {
    SharedWord bannerPos;
    SharedWord bannerAnswered{1};   // a banner before the wizard asks for it is not answered
    SharedWord promptWatch;
    SharedWord promptPos[4];
    SharedWord uploadState;
    SharedWord handshakePos;
    SharedWordOf<FILE *> imageFile;
    SharedWord imageFileSize;
    SharedWord transferSize;
    SharedWord bytesSent;      // image bytes of the running transfer that went out
    SharedWord blockTotal;
    SharedWord blocksAcked;
    uint8_t blockBuffer[BLOCK_SIZE];
    SharedWord ackWatch1;
    SharedWord ackWatch2;
    SharedWord startWatch;
    SharedWord senderState;
    SharedWordOf<const char *> senderText;
    SharedWord senderPos;
    SharedWord senderLen;
    char loadCommand[256];
    SharedWordOf<HWND> progressDialog;
    SharedWord imageUser;
    SharedWord attempt;
};

extern UploadContext upload;

// Firmware image buffers, kept for the whole run.
extern char imagePath[1024];
extern char imageFileTitle[256];
extern uint8_t headerBuffer[HEADER_SIZE];

int CheckImageHeader(FILE *file, long offset, uint32_t *loadAddress);
int OpenFirmwareImage(HWND window);
int ChooseFirmwareImage(HWND window, int startSequence);
void CloseFirmwareImage(void);

int ProcessReceived(HWND window, const uint8_t *bytes, DWORD count);
void SendBlock(HWND window, int n);

int UploadTimerTick(HWND window);
void StartCommandSequence(void);
void StartRebootCommand(void);
void StopSender(void);
void StopUploadAttempt(void);
int StopTransfer(int from, int to);
int EndAttempt(void);
int GetReceivePace(void);

CRITICAL_SECTION *SenderLock(void);
CRITICAL_SECTION *EngineLock(void);
void ReplaceSenderText(const char *text);
int ClaimImage(int32_t use);
void ReleaseImage(int32_t use);

HWND CreateProgressBar(HWND dialog);
INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
