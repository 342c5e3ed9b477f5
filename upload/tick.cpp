// The 250 ms tick: the command sender types at most one character of the
// current monitor command, then the four watchdogs count down. Runs on the
// user-interface thread. The engine on the reader thread arms and claims the
// same counters (the table in upload/upload.h), so each decrement is a
// compare-and-swap that never revives a counter the engine has just cleared.
// A watchdog that ran out reports only when its move of uploadState to ENDED
// won: the engine may have moved on at that moment, or the attempt may have
// been reported already. The sender's set-ups and its typing change its
// fields together under the sender's lock; the character is written after
// the lock is left.
#include "upload/upload.h"
#include "app/ids.h"
#include "serial/serial.h"

#include <cstring>

static const char MONITOR_COMMAND[] = "\r\rmon\r";
static const char REBOOT_COMMAND[] = "\r\rboot\r";

static void setUpSender(const char *text, int state)
{
    EnterCriticalSection(SenderLock());
    upload.senderPos = 0;
    upload.senderLen = int32_t(strlen(text));
    upload.senderText = text;
    upload.senderState = state;
    LeaveCriticalSection(SenderLock());
}

void StartCommandSequence(void)
{
    setUpSender(MONITOR_COMMAND, SENDER_SEQUENCE);
    upload.startWatch = TICKS_START;
}

void StartRebootCommand(void)
{
    setUpSender(REBOOT_COMMAND, SENDER_ONCE);
}

void StopSender(void)
{
    EnterCriticalSection(SenderLock());
    upload.senderState = SENDER_IDLE;
    LeaveCriticalSection(SenderLock());
}

// A new attempt of the wizard: nothing of the previous one may still type,
// count down or go on sending. Under the engine lock, so the engine is
// between two chunks; a step of it that waits outside the lock sees the new
// attempt's number and gives up. A start watchdog that ran out stays so.
void StopUploadAttempt(void)
{
    StopSender();
    EnterCriticalSection(EngineLock());
    upload.attempt++;
    if (upload.startWatch > 0)
        upload.startWatch = 0;
    upload.ackWatch1 = 0;
    upload.ackWatch2 = 0;
    upload.promptWatch = 0;
    upload.handshakePos = 0;
    upload.uploadState = UPLOAD_IDLE;
    LeaveCriticalSection(EngineLock());
    HWND progress = upload.progressDialog;
    if (progress)
        PostMessageA(progress, WM_COMMAND, IDCANCEL, 0);
}

// Takes the next character and moves the sender on, as one unit; 0 when
// there is nothing to type. Never past the end of the current text.
static int takeNextCharacter(char *next)
{
    int taken = 0;
    EnterCriticalSection(SenderLock());
    int state = upload.senderState;
    const char *text = upload.senderText;
    int pos = upload.senderPos;
    int len = upload.senderLen;
    if (state == SENDER_IDLE) {
        // nothing to type
    } else if (!text || pos < 0 || pos >= len || size_t(pos) >= strlen(text)) {
        upload.senderState = SENDER_IDLE;
    } else {
        *next = text[pos];
        taken = 1;
        upload.senderPos = ++pos;
        if (pos == len && state == SENDER_SEQUENCE) {
            upload.senderPos = 0;
            upload.senderLen = int32_t(strlen(upload.loadCommand));
            upload.senderText = upload.loadCommand;
            upload.senderState = SENDER_ONCE;
        } else if (pos == len) {
            upload.senderState = SENDER_IDLE;
        }
    }
    LeaveCriticalSection(SenderLock());
    return taken;
}

// Counts an armed watchdog down by one; 1 when this tick made it run out,
// leaving it at the given end value.
static int countDown(SharedWord &watch, int32_t end)
{
    int32_t value = watch;
    while (value > 0 && !watch.compare_exchange_weak(value, value == 1 ? end : value - 1)) {
    }
    return value == 1;
}

// An acknowledgement that moved the state on at this moment wins. The
// image's claim is left to the engine and the next attempt.
static void checkBlockWatch(HWND window, SharedWord &watch, int state)
{
    if (upload.uploadState == state && countDown(watch, 0) && StopTransfer(state, UPLOAD_ENDED))
        PostMessageA(window, WM_COMMAND, CMD_FAIL_RETRY, 0);
}

int UploadTimerTick(HWND window)
{
    // 1. sender
    char next;
    if (takeNextCharacter(&next))
        WritePort(window, &next, 1);
    // 2. block watchdogs, each only in its own state
    checkBlockWatch(window, upload.ackWatch1, UPLOAD_WAIT_ACK1);
    checkBlockWatch(window, upload.ackWatch2, UPLOAD_WAIT_ACK2);
    // 3. prompt watch
    if (countDown(upload.promptWatch, 0) && EndAttempt())
        PostMessageA(window, WM_COMMAND, CMD_NO_RESPONSE, 0);
    // 4. start watchdog
    if (countDown(upload.startWatch, WATCH_EXPIRED) && EndAttempt())
        PostMessageA(window, WM_COMMAND, CMD_FAIL_RETRY, 0);
    return 1;
}
