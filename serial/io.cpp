// Bytes between the program and the open serial device. ReadPort and
// WritePort use overlapped I/O and wait for their own completion; writes come
// from both threads and take writeLock around the one writeOverlapped block.
// PortReaderThread hands every received chunk to the upload engine. It waits
// in the kernel, never in a timed loop: on the driver's event wait where that
// works, and once a wait has ended without an event (as it does at once
// under some drivers and on an unplugged adapter) on a one-byte read that
// completes with the next byte or after the port's 1 s read time-out, for as
// long as the port stays open. Either wait also ends when ClosePort sets
// readerStop; the thread then cancels its own pending I/O.
#include "serial/serial.h"
#include "upload/upload.h"
#include "app/app.h"

#define READER_ERROR_PAUSE_MS 100   // a read that fails at once (a vanished adapter) is retried this late
#define READER_LINGER_US      300   // about three byte times at 115200 baud

static void clearPortError(HANDLE port, DWORD *errors)
{
    DWORD flags = 0;
    COMSTAT status;
    ClearCommError(port, &flags, &status);
    if (errors)
        *errors = flags;
}

// Waits for an overlapped operation; FALSE when it failed.
static BOOL awaitOverlapped(HANDLE port, OVERLAPPED *overlapped, DWORD *count)
{
    while (!GetOverlappedResult(port, overlapped, count, TRUE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE)
            return FALSE;
    }
    return TRUE;
}

int PortIsOpen(HWND window)
{
    TtyState *tty = GetTtyState(window);
    return tty && tty->connected;
}

DWORD ReadPort(HWND window, uint8_t *buffer, DWORD wanted)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    DWORD flags = 0;
    COMSTAT status = {};
    ClearCommError(tty->portHandle, &flags, &status);
    DWORD length = wanted < status.cbInQue ? wanted : status.cbInQue;
    if (length == 0)
        return 0;

    DWORD count = 0;
    if (ReadFile(tty->portHandle, buffer, length, &count, &tty->readOverlapped))
        return count;
    if (GetLastError() == ERROR_IO_PENDING) {
        // The trace costs about 0.2 ms under Wine, where every read goes
        // pending: only a debugger that listens gets it.
        if (IsDebuggerPresent())
            OutputDebugStringA("\n\rIO Pending");
        if (!awaitOverlapped(tty->portHandle, &tty->readOverlapped, &count))
            clearPortError(tty->portHandle, nullptr);
        return count;
    }
    clearPortError(tty->portHandle, nullptr);
    return 0;
}

// 1 when every byte was written; 0 when the write failed or fell short.
int WritePort(HWND window, const void *bytes, DWORD count)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    EnterCriticalSection(&tty->writeLock);
    DWORD written = 0;
    DWORD lineErrors = 0;
    int result = 1;
    if (!WriteFile(tty->portHandle, bytes, count, &written, &tty->writeOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            clearPortError(tty->portHandle, nullptr);
            result = 0;
        } else if (!awaitOverlapped(tty->portHandle, &tty->writeOverlapped, &written)) {
            clearPortError(tty->portHandle, &lineErrors);
            result = 0;
        }
    }
    if (result && written != count)
        result = 0;
    LeaveCriticalSection(&tty->writeLock);
    // A line error stops what the sender was typing; outside the write lock,
    // since the tick takes the sender's lock before it writes.
    if (lineErrors && tty->displayErrors)
        ReplaceSenderText("s");
    return result;
}

// Hands everything queued to the engine in chunks of at most READ_CHUNK,
// after the `have` bytes already at the start of chunk; 1 when anything came.
static int drainInput(uint8_t *chunk, DWORD have)
{
    int delivered = 0;
    for (;;) {
        DWORD n = have + ReadPort(mainWindow, chunk + have, READ_CHUNK - have);
        have = 0;
        if (n == 0)
            return delivered;
        ProcessReceived(mainWindow, chunk, n);
        UpdateWindow(mainWindow);
        delivered = 1;
    }
}

// After a delivery, looks for a byte right behind it for a few byte times
// before going back to a kernel wait: a box that writes its answer byte by
// byte (two acknowledgements) is then answered without a second wake-up,
// which costs far more than a byte time under some drivers. Only after
// received bytes, so an idle port costs nothing.
static void lingerForMore(uint8_t *chunk)
{
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    LONGLONG limit = frequency.QuadPart * READER_LINGER_US / 1000000;
    do {
        if (drainInput(chunk, 0))
            QueryPerformanceCounter(&start);
        QueryPerformanceCounter(&now);
    } while (now.QuadPart - start.QuadPart < limit);
}

// Waits for this thread's overlapped operation, or for ClosePort, which
// makes the thread cancel the operation; FALSE when it did not complete.
static BOOL awaitOrStop(TtyState *tty, HANDLE port, OVERLAPPED *overlapped, DWORD *count)
{
    HANDLE events[2] = { overlapped->hEvent, tty->readerStop };
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0)
        CancelIo(port);
    return awaitOverlapped(port, overlapped, count);
}

// The event wait did not deliver: read the next byte when it comes, then
// whatever followed it, in order.
static void awaitNextByte(TtyState *tty, HANDLE port, OVERLAPPED *overlapped, uint8_t *chunk)
{
    DWORD n = 0;
    if (!ReadFile(port, chunk, 1, &n, overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            clearPortError(port, nullptr);
            WaitForSingleObject(tty->readerStop, READER_ERROR_PAUSE_MS);
            return;
        }
        if (!awaitOrStop(tty, port, overlapped, &n))
            n = 0;
    }
    if (n == 1) {
        drainInput(chunk, 1);
        lingerForMore(chunk);
    }
}

// A reader that ClosePort gave up on may end long after a newer one began:
// it clears the record's identity only while the identity is still its own.
static void endReaderThread(TtyState *tty)
{
    uint32_t me = GetCurrentThreadId();
    if (tty->readerThreadId.load(std::memory_order_acquire) != me)
        return;
    HANDLE self = tty->readerThread.exchange(nullptr);
    if (self)
        CloseHandle(self);
    tty->readerThreadId.compare_exchange_strong(me, 0, std::memory_order_release);
}

static int isCurrentReader(TtyState *tty)
{
    return tty->connected.load(std::memory_order_acquire) &&
           tty->readerThreadId.load(std::memory_order_acquire) == GetCurrentThreadId();
}

DWORD WINAPI PortReaderThread(LPVOID parameter)
{
    TtyState *tty = static_cast<TtyState *>(parameter);
    OVERLAPPED wait = {};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wait.hEvent) {
        MessageBoxA(nullptr, "Failed to create event for thread!", "TTY Error!", MB_ICONEXCLAMATION | MB_OK);
        endReaderThread(tty);
        return 0;
    }
    HANDLE port = tty->portHandle;
    if (!SetCommMask(port, EV_RXCHAR)) {
        CloseHandle(wait.hEvent);
        endReaderThread(tty);
        return 0;
    }

    uint8_t chunk[READ_CHUNK];
    int eventWaitWorks = 1;   // until a wait ends without an event: then it never does here
    while (isCurrentReader(tty)) {
        DWORD mask = 0;
        if (eventWaitWorks) {
            if (!WaitCommEvent(port, &mask, &wait)) {
                DWORD ignored = 0;
                if (GetLastError() != ERROR_IO_PENDING || !awaitOrStop(tty, port, &wait, &ignored))
                    mask = 0;
            }
            if (!(mask & EV_RXCHAR) && isCurrentReader(tty))
                eventWaitWorks = 0;
        }
        if (drainInput(chunk, 0))
            lingerForMore(chunk);
        else if (!(mask & EV_RXCHAR) && isCurrentReader(tty))
            awaitNextByte(tty, port, &wait, chunk);
    }
    CloseHandle(wait.hEvent);
    endReaderThread(tty);
    return 1;
}
