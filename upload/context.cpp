// The one UploadContext of the process (who touches what: the table in
// upload/upload.h), with the guards that keep a unit of it whole: the
// sender's lock, the engine's lock and the image's claim, and the ends of a
// transfer and of an attempt that the engine and the tick share.
#include "upload/upload.h"

UploadContext upload;

// Held only for a few loads and stores, never across a write or a page.
CRITICAL_SECTION *SenderLock(void)
{
    static CRITICAL_SECTION lock;
    static const int ready = (InitializeCriticalSection(&lock), 1);
    (void)ready;
    return &lock;
}

// Held by the engine for one chunk at a time, never across a page or a wait.
CRITICAL_SECTION *EngineLock(void)
{
    static CRITICAL_SECTION lock;
    static const int ready = (InitializeCriticalSection(&lock), 1);
    (void)ready;
    return &lock;
}

// Ends the running transfer if this move from the given state wins over the
// other thread's; only the winner closes the progress page and reports. The
// block watchdogs need no disarming: each counts only in its own state.
int StopTransfer(int from, int to)
{
    int32_t expected = from;
    if (!upload.uploadState.compare_exchange_strong(expected, to))
        return 0;
    HWND progress = upload.progressDialog;
    if (progress)
        PostMessageA(progress, WM_COMMAND, IDCANCEL, 0);
    return 1;
}

// Ends the attempt in whatever state it is (a watch that ran out); 1 when
// this move won, and so the caller reports. An attempt already ended was
// reported by someone else. A transfer it ends loses its page.
int EndAttempt(void)
{
    int32_t state = upload.uploadState;
    while (state != UPLOAD_ENDED) {
        if (state == UPLOAD_WAIT_ACK1 || state == UPLOAD_WAIT_ACK2) {
            if (StopTransfer(state, UPLOAD_ENDED))
                return 1;
            state = upload.uploadState;
        } else if (upload.uploadState.compare_exchange_weak(state, UPLOAD_ENDED)) {
            return 1;
        }
    }
    return 0;
}

int GetReceivePace(void)
{
    int state = upload.uploadState;
    if (state == UPLOAD_WAIT_ACK2)
        return PACE_RIGHT_BEHIND;
    return state == UPLOAD_IDLE || state == UPLOAD_ENDED ? PACE_ANY_TIME : PACE_SOON;
}

// A failed write's error path: the sender goes on in the new text, never past its end.
void ReplaceSenderText(const char *text)
{
    EnterCriticalSection(SenderLock());
    upload.senderText = text;
    LeaveCriticalSection(SenderLock());
}

// 1 when the image was free and is now the caller's for the given use.
int ClaimImage(int32_t use)
{
    int32_t expected = IMAGE_FREE;
    return upload.imageUser.compare_exchange_strong(expected, use);
}

void ReleaseImage(int32_t use)
{
    int32_t expected = use;
    upload.imageUser.compare_exchange_strong(expected, IMAGE_FREE);
}
