// The one UploadContext of the process, shared by the engine on the reader
// thread and the tick, the dialogs and the port code on the user-interface
// thread, with the two guards that keep a unit of it whole: the sender's
// lock and the image's claim.
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
