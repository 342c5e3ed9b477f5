// The reader thread and its life. StartPortReader (OpenPort) gives each
// reader a ReaderLink of its own; StopPortReader (ClosePort) ends it. The
// thread waits only in the kernel: on the driver's event wait where that
// works, and once a wait has ended without an event (at once under some
// drivers) on a one-byte read that completes with the next byte or after the
// port's 1 s read time-out. Every such wait also ends on the link's stop
// event. Inside the engine it may wait for the user instead: the completion
// page it shows, or the selection the main window's thread shows for it.
// How the link is shared with ClosePort: the second table in serial/serial.h.
// After a delivery the engine sets the pace: its second acknowledgement is
// looked for a few byte times to a fixed deadline; a box that talks on its
// own is read at most every READER_GATHER_MS, so a stream costs little.
#include "serial/serial.h"
#include "upload/upload.h"
#include "app/app.h"
#include "app/winlog.h"
#include "serial/steptrace.h"

#include <new>

#define READER_STOP_LIMIT_MS  3000   // a reader whose kernel wait outlasts this is given up on
#define READER_STOP_POLL_MS   5
#define READER_PAUSE_MS       10     // after a read or wait that ended at once with nothing
#define READER_GATHER_MS      5      // a talking box's bytes gather meanwhile
#define READER_LINGER_US      300    // about three byte times at 115200 baud

static thread_local ReaderLink *ownLink;   // set on a reader thread only

static int moveReader(ReaderLink *link, int32_t from, int32_t to)
{
    int32_t expected = from;
    return link->state.compare_exchange_strong(expected, to);
}

static int stopRequested(ReaderLink *link)
{
    return link->stopping != 0;
}

static void freeLink(ReaderLink *link)
{
    CloseHandle(link->stop);
    delete link;
}

static LONGLONG nowMicroseconds(void)
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000000 / frequency.QuadPart;
}

// Waits for this thread's overlapped operation, or for the stop, which
// cancels it; FALSE when it did not complete.
static BOOL awaitOrStop(ReaderLink *link, OVERLAPPED *overlapped, DWORD *count)
{
    return AwaitPortIo(link->port, overlapped, count, INFINITE);
}

// The driver's event wait; 0 when it ended without an event, as it does at
// once under some drivers: the reader then reads a byte at a time.
static int awaitCommEvent(ReaderLink *link, OVERLAPPED *wait)
{
    DWORD mask = 0;
    if (!WaitCommEvent(link->port, &mask, wait)) {
        DWORD ignored = 0;
        if (GetLastError() != ERROR_IO_PENDING || !awaitOrStop(link, wait, &ignored))
            mask = 0;
    }
    NoteStep('E', mask, 0);
    return (mask & EV_RXCHAR) || stopRequested(link);
}

// The next byte, when it comes or after the port's read time-out; 1 when it
// came. A read that ends at once with nothing (a driver that does not honour
// the time-outs, an unplugged adapter) is followed by a pause, never retried
// at once.
static int awaitNextByte(ReaderLink *link, OVERLAPPED *wait, uint8_t *chunk)
{
    LONGLONG start = nowMicroseconds();
    DWORD n = 0;
    if (!ReadFile(link->port, chunk, 1, &n, wait)) {
        n = 0;
        if (GetLastError() != ERROR_IO_PENDING)
            ClearPortError(link->port, nullptr);
        else if (!awaitOrStop(link, wait, &n))
            n = 0;
    }
    NoteStep('N', n, chunk[0]);
    if (n == 0 && nowMicroseconds() - start < READER_PAUSE_MS * 1000) {
        NoteStep('P', 0, 0);
        WaitForSingleObject(link->stop, READER_PAUSE_MS);
    }
    return n == 1;
}

// Hands what is queued to the engine, after the `have` bytes already at the
// start of chunk, in chunks of at most READ_CHUNK. A chunk that comes back
// short has emptied the queue, so a box that keeps talking cannot keep this
// loop going; 1 when anything was handed on.
static int drainInput(ReaderLink *link, uint8_t *chunk, DWORD have)
{
    int delivered = 0;
    while (!stopRequested(link)) {
        DWORD n = have + ReadPort(mainWindow, chunk + have, READ_CHUNK - have);
        have = 0;
        NoteStep('R', n, n ? chunk[n - 1] : 0);
        if (n == 0)
            break;
        ProcessReceived(mainWindow, chunk, n);
        delivered = 1;
        if (n < READ_CHUNK)
            break;
    }
    return delivered;
}

// The box's second acknowledgement follows the first by a byte time: it is
// looked for a few byte times, to a fixed deadline, since waking from a
// kernel wait costs far more than a byte time under some drivers.
static void lookRightBehind(ReaderLink *link, uint8_t *chunk)
{
    LONGLONG deadline = nowMicroseconds() + READER_LINGER_US;
    NoteStep('L', 0, 0);
    while (!stopRequested(link) && nowMicroseconds() < deadline) {
        if (drainInput(link, chunk, 0)) {
            NoteStep('l', 1, 0);
            return;
        }
    }
    NoteStep('l', 0, 0);
}

// One delivery; -1 when ClosePort has given up on this reader, else 1 when
// anything reached the engine. UpdateWindow comes once, after the engine has
// answered, so a repaint of the main window never delays an answer.
static int deliver(ReaderLink *link, uint8_t *chunk, DWORD have)
{
    if (!moveReader(link, READER_WAITING, READER_DELIVERING))
        return -1;
    int delivered = drainInput(link, chunk, have);
    if (delivered && GetReceivePace() == PACE_RIGHT_BEHIND)
        lookRightBehind(link, chunk);
    if (delivered) {
        NoteStep('U', 0, 0);
        UpdateWindow(mainWindow);
        NoteStep('u', 0, 0);
    }
    moveReader(link, READER_DELIVERING, READER_WAITING);
    return delivered;
}

static void readUntilStopped(ReaderLink *link, OVERLAPPED *wait)
{
    uint8_t chunk[READ_CHUNK];
    int eventWaitWorks = 1;   // until a wait ends without an event: then it never does here
    while (!stopRequested(link)) {
        DWORD have = 0;
        if (eventWaitWorks)
            eventWaitWorks = awaitCommEvent(link, wait);
        else
            have = awaitNextByte(link, wait, chunk);
        if (stopRequested(link) || (!eventWaitWorks && !have))
            continue;
        int delivered = deliver(link, chunk, have);
        if (delivered < 0)
            return;
        if (delivered && GetReceivePace() == PACE_ANY_TIME) {
            NoteStep('G', 0, 0);
            WaitForSingleObject(link->stop, READER_GATHER_MS);
        }
    }
}

// The reader's last act: ClosePort is normally waiting to release the device
// and free the link; given up on, the reader closes its own handle and frees
// the link. It drops no DTR and purges nothing then: the same device may be
// open again for the next attempt by now, and under some drivers a purge or
// DTR change through this handle would reach the new one.
static void endReader(ReaderLink *link)
{
    if (moveReader(link, READER_WAITING, READER_ENDED))
        return;
    CloseHandle(link->port);
    freeLink(link);
}

DWORD WINAPI PortReaderThread(LPVOID parameter)
{
    ReaderLink *link = static_cast<ReaderLink *>(parameter);
    ownLink = link;
    SetPortIoStop(link->stop);
    DWORD result = 0;
    OVERLAPPED wait = {};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!wait.hEvent) {
        LogWin32Failure("CreateEventA", "the reader's wait", GetLastError());
        MessageBoxA(nullptr, "Failed to create event for thread!", "TTY Error!", MB_ICONEXCLAMATION | MB_OK);
    } else {
        if (SetCommMask(link->port, EV_RXCHAR)) {
            readUntilStopped(link, &wait);
            result = 1;
        } else {
            LogWin32Failure("SetCommMask", "the reader's port", GetLastError());
        }
        CloseHandle(wait.hEvent);
    }
    endReader(link);
    return result;
}

// Waits up to ms, less when the port closes; a plain sleep off a reader thread.
void PauseReader(DWORD ms)
{
    if (ownLink)
        WaitForSingleObject(ownLink->stop, ms);
    else
        Sleep(ms);
}

// 1 when a reader with a link of its own runs on the record's open device.
int StartPortReader(TtyState *tty)
{
    ReaderLink *link = new (std::nothrow) ReaderLink();
    if (!link)
        return 0;
    link->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    link->port = tty->portHandle;
    DWORD threadId = 0;
    HANDLE thread = link->stop ? CreateThread(nullptr, 0, PortReaderThread, link, 0, &threadId) : nullptr;
    if (!thread) {
        if (link->stop)
            CloseHandle(link->stop);
        delete link;
        return 0;
    }
    tty->reader = link;
    tty->readerThread = thread;
    tty->readerThreadId = threadId;
    return 1;
}

// Waits for the reader while still answering messages sent to this thread:
// the reader may be inside UpdateWindow or a page owned by us. A reader in
// the engine is waited for (its pages are the user's time); one that stays
// in a kernel wait READER_STOP_LIMIT_MS after the stop, counted from when it
// was last seen in the engine, is given up on: 0 then.
static int awaitReaderEnd(ReaderLink *link, HANDLE thread)
{
    DWORD quietSince = GetTickCount();
    for (;;) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        if (MsgWaitForMultipleObjects(1, &thread, FALSE, READER_STOP_POLL_MS, QS_SENDMESSAGE) == WAIT_OBJECT_0)
            return 1;
        int32_t state = link->state;
        if (state == READER_ENDED)
            return 1;
        if (state == READER_DELIVERING)
            quietSince = GetTickCount();
        else if (GetTickCount() - quietSince >= READER_STOP_LIMIT_MS && moveReader(link, READER_WAITING, READER_ABANDONED))
            return 0;
    }
}

// Tells the record's reader to stop: every wait of it ends, an engine write
// that a driver holds included. ClosePort says it before it takes the
// engine's lock, which such a write would otherwise keep.
void SignalPortReaderStop(TtyState *tty)
{
    ReaderLink *link = tty->reader;
    if (!link)
        return;
    link->stopping = 1;
    SetEvent(link->stop);
}

// Ends the record's reader; 1 when it ended, 0 when it was given up on and
// now owns the device, which it closes when its wait ends at last.
int StopPortReader(TtyState *tty)
{
    ReaderLink *link = tty->reader;
    if (!link)
        return 1;
    SignalPortReaderStop(tty);
    SetCommMask(link->port, 0);
    int ended = awaitReaderEnd(link, tty->readerThread);
    if (ended)
        freeLink(link);
    else
        LogWin32Failure("WaitForSingleObject (the reader thread did not end; it closes the port when it does)",
                        "the port", WAIT_TIMEOUT);
    CloseHandle(tty->readerThread);
    tty->reader = nullptr;
    tty->readerThread = nullptr;
    tty->readerThreadId = 0;
    return ended;
}
