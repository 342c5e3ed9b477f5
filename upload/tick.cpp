// The 250 ms tick: the command sender types at most one character of the
// current monitor command, then the four watchdogs count down. Runs on the
// user-interface thread; the engine on the reader thread arms and disarms the
// same counters, so each decrement is a compare-and-swap that never revives
// a counter the engine has just cleared.
#include "upload/upload.h"
#include "app/ids.h"
#include "serial/serial.h"

#include <cstring>

static const char MONITOR_COMMAND[] = "\r\rmon\r";
static const char REBOOT_COMMAND[] = "\r\rboot\r";

static void setUpSender(const char *text, int state)
{
    upload.senderPos = 0;
    upload.senderLen = int32_t(strlen(text));
    upload.senderText = text;
    upload.senderState = state;   // last: the tick never starts on a half-set text
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

static void typeNextCharacter(HWND window)
{
    int state = upload.senderState;
    if (state == SENDER_IDLE)
        return;
    const char *text = upload.senderText;
    int pos = upload.senderPos;
    int len = upload.senderLen;
    // Never past the end of the current text, whatever replaced it.
    if (!text || pos < 0 || pos >= len || size_t(pos) >= strlen(text)) {
        upload.senderState = SENDER_IDLE;
        return;
    }
    WritePort(window, text + pos, 1);
    upload.senderPos = ++pos;
    if (pos != len)
        return;
    if (state == SENDER_SEQUENCE)
        setUpSender(upload.loadCommand, SENDER_ONCE);
    else
        upload.senderState = SENDER_IDLE;
}

// Counts an armed watchdog down by one; 1 when this tick made it run out.
static int countDown(SharedWord &watch)
{
    int32_t value = watch;
    while (value != 0 && !watch.compare_exchange_weak(value, value - 1)) {
    }
    return value == 1;
}

static void checkBlockWatch(HWND window, SharedWord &watch, int state)
{
    int32_t expected = state;
    if (upload.uploadState != state || !countDown(watch))
        return;
    // An acknowledgement that moved the state on at this moment wins.
    if (!upload.uploadState.compare_exchange_strong(expected, UPLOAD_IDLE))
        return;
    HWND progress = upload.progressDialog;
    if (progress)
        PostMessageA(progress, WM_COMMAND, IDCANCEL, 0);
    PostMessageA(window, WM_COMMAND, CMD_FAIL_RETRY, 0);
}

int UploadTimerTick(HWND window)
{
    // 1. sender
    typeNextCharacter(window);
    // 2. block watchdogs, each only in its own state
    checkBlockWatch(window, upload.ackWatch1, UPLOAD_WAIT_ACK1);
    checkBlockWatch(window, upload.ackWatch2, UPLOAD_WAIT_ACK2);
    // 3. prompt watch
    if (countDown(upload.promptWatch))
        PostMessageA(window, WM_COMMAND, CMD_NO_RESPONSE, 0);
    // 4. start watchdog
    if (countDown(upload.startWatch))
        PostMessageA(window, WM_COMMAND, CMD_FAIL_RETRY, 0);
    return 1;
}
