// Bytes between the program and the open serial device. ReadPort and
// WritePort use overlapped I/O and wait for their own completion. ReadPort
// is the reader thread's alone, with readOverlapped; writes come from both
// threads and take writeLock around the one writeOverlapped block.
#include "serial/serial.h"
#include "upload/upload.h"

void ClearPortError(HANDLE port, DWORD *errors)
{
    DWORD flags = 0;
    COMSTAT status;
    ClearCommError(port, &flags, &status);
    if (errors)
        *errors = flags;
}

// Waits for an overlapped operation; FALSE when it failed.
BOOL AwaitPortIo(HANDLE port, OVERLAPPED *overlapped, DWORD *count)
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
        if (!AwaitPortIo(tty->portHandle, &tty->readOverlapped, &count))
            ClearPortError(tty->portHandle, nullptr);
        return count;
    }
    ClearPortError(tty->portHandle, nullptr);
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
            ClearPortError(tty->portHandle, nullptr);
            result = 0;
        } else if (!AwaitPortIo(tty->portHandle, &tty->writeOverlapped, &written)) {
            ClearPortError(tty->portHandle, &lineErrors);
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

