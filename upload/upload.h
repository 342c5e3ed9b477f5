// The upload engine: image selection, the receive-side protocol engine, the
// 250 ms tick with its command sender and watchdogs, and the progress page.
// ProcessReceived runs on the reader thread, and so do the two pages it opens
// itself (its own image selection and the completion page); the tick, the
// progress page and every other selection run on the user-interface thread.
// Who may change what across the two threads (every such word a SharedWord):
//  - EngineLock: the engine holds it while it handles a chunk (never across
//    a page or a wait); StopUploadAttempt, ClosePort and the way out of the
//    program take it, so no step of the engine straddles a new attempt, a
//    close or Abort. attempt counts the attempts, under the lock, so that a
//    step that let go of it for a page knows whether its attempt still runs.
//  - uploadState: the engine; the tick only WAIT_ACKn -> IDLE. Every move
//    that can race the tick is a compare-and-swap, and only its winner reports.
//  - the watchdogs: armed by the engine (and the wizard, the selection); the
//    tick counts them down by compare-and-swap; a reporter claims one by
//    swapping it to 0. startWatch ends at WATCH_EXPIRED and stays there
//    until the next command sequence or the next connect page, so a go-ahead
//    that comes after it ran out knows the attempt was already reported.
//  - the sender's four fields change together under SenderLock().
//  - imageUser: claimed by compare-and-swap by a selection (either thread)
//    or a transfer (the engine). imageFile, the path, the header and
//    loadCommand are plain: only the thread holding the claim touches them.
//    A transfer that the tick ended keeps its claim until the engine sees
//    the next handshake or the wizard starts over, both when no transfer runs.
//  - progressDialog: set and cleared by the progress page.
#ifndef TESSEL_UPLOAD_H
#define TESSEL_UPLOAD_H

#include <windows.h>
#include <cstdint>
#include <cstdio>
#include "app/sharedword.h"

#define HEADER_SIZE        128
#define ALT_HEADER_OFFSET  0x8000
#define BLOCK_SIZE         1024
#define MAX_IMAGE_BYTES    0x7FFFFFFF

#define UPLOAD_IDLE       0
#define UPLOAD_STARTING   1
#define UPLOAD_WAIT_ACK1  2
#define UPLOAD_WAIT_ACK2  3

#define SENDER_IDLE      0
#define SENDER_SEQUENCE  1
#define SENDER_ONCE      2

#define TICKS_ACK      20
#define TICKS_PROMPT   40
#define TICKS_START    40
#define TICKS_SEND_CR   4

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
    FILE *imageFile;
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
    std::atomic<const char *> senderText;
    SharedWord senderPos;
    SharedWord senderLen;
    char loadCommand[256];
    std::atomic<HWND> progressDialog;
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
int StopTransfer(int from);
int GetReceivePace(void);

CRITICAL_SECTION *SenderLock(void);
CRITICAL_SECTION *EngineLock(void);
void ReplaceSenderText(const char *text);
int ClaimImage(int32_t use);
void ReleaseImage(int32_t use);

HWND CreateProgressBar(HWND dialog);
INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
