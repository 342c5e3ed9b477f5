// Bytes between the program and the open serial device. ReadPort and
// WritePort use overlapped I/O and wait for their own completion. ReadPort
// is the reader thread's alone, with readOverlapped; writes come from both
// threads and take writeLock around the one writeOverlapped block. No wait
// here outlasts the calling reader's stop or PORT_IO_LIMIT_MS: a driver
// that never completes an operation (an adapter pulled out) cannot hold the
// engine, and with it ClosePort, for ever.
#include "serial/serial.h"
#include "upload/upload.h"
#include "app/winlog.h"
#include "serial/steptrace.h"

#define PORT_IO_LIMIT_MS  3000   // a block takes about 90 ms on the line

static thread_local HANDLE ioStop;   // the stop of the reader running on this thread

void ClearPortError(HANDLE port, DWORD *errors)
{
    DWORD flags = 0;
    COMSTAT status;
    ClearCommError(port, &flags, &status);
    if (errors)
        *errors = flags;
}

// Called by a reader thread as it starts: its port waits end on its stop.
void SetPortIoStop(HANDLE stop)
{
    ioStop = stop;
}

// Waits for an overlapped operation, at most limitMs and never past the
// calling reader's stop; FALSE when it failed or had to be cancelled. A
// cancelled operation's end is still awaited: the kernel owns its block
// and buffer until then, and a driver ends a cancelled operation at once.
BOOL AwaitPortIo(HANDLE port, OVERLAPPED *overlapped, DWORD *count, DWORD limitMs)
{
    HANDLE events[2] = { overlapped->hEvent, ioStop };
    DWORD woke = WaitForMultipleObjects(ioStop ? 2 : 1, events, FALSE, limitMs);
    if (woke != WAIT_OBJECT_0) {
        if (woke == WAIT_TIMEOUT)
            LogWin32Failure("GetOverlappedResult (no completion in time)", "the port", WAIT_TIMEOUT);
        CancelIo(port);
    }
    BOOL done;
    while (!(done = GetOverlappedResult(port, overlapped, count, TRUE)) && GetLastError() == ERROR_IO_INCOMPLETE) {
    }
    if (!done)
        *count = 0;
    return done && woke == WAIT_OBJECT_0;
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
        if (!AwaitPortIo(tty->portHandle, &tty->readOverlapped, &count, PORT_IO_LIMIT_MS))
            ClearPortError(tty->portHandle, nullptr);
        return count;
    }
    LogWin32Failure("ReadFile", "the port", GetLastError());
    ClearPortError(tty->portHandle, nullptr);
    return 0;
}

// 1 when every byte was written; 0 when the write failed or fell short.
int WritePort(HWND window, const void *bytes, DWORD count)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    NoteStep('S', count, 0);
    EnterCriticalSection(&tty->writeLock);
    DWORD written = 0;
    DWORD lineErrors = 0;
    int result = 1;
    if (!WriteFile(tty->portHandle, bytes, count, &written, &tty->writeOverlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            LogWin32Failure("WriteFile", "the port", error);
            ClearPortError(tty->portHandle, nullptr);
            result = 0;
        } else if (!AwaitPortIo(tty->portHandle, &tty->writeOverlapped, &written, PORT_IO_LIMIT_MS)) {
            ClearPortError(tty->portHandle, &lineErrors);
            result = 0;
        }
    }
    if (result && written != count)
        result = 0;
    LeaveCriticalSection(&tty->writeLock);
    NoteStep('W', written, 0);
    // A line error stops what the sender was typing; outside the write lock,
    // since the tick takes the sender's lock before it writes.
    if (lineErrors && tty->displayErrors)
        ReplaceSenderText("s");
    return result;
}

