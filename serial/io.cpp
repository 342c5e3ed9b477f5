// Bytes between the program and the open serial device. ReadPort and
// WritePort use overlapped I/O and wait for their own completion; writes come
// from both threads and take writeLock around the one writeOverlapped block.
// PortReaderThread hands every received chunk to the upload engine. Where the
// driver's event wait does not work (it fails at once under some drivers and
// on an unplugged adapter), the thread still drains the queue and then blocks
// briefly instead of spinning.
#include "serial/serial.h"
#include "upload/upload.h"
#include "app/app.h"

#define READER_IDLE_WAIT_MS 2

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
    int result = 1;
    if (!WriteFile(tty->portHandle, bytes, count, &written, &tty->writeOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            clearPortError(tty->portHandle, nullptr);
            result = 0;
        } else if (!awaitOverlapped(tty->portHandle, &tty->writeOverlapped, &written)) {
            DWORD errors = 0;
            clearPortError(tty->portHandle, &errors);
            // A line error stops what the sender was typing; it never reads past this text.
            if (errors && tty->displayErrors)
                upload.senderText = "s";
            result = 0;
        }
    }
    if (result && written != count)
        result = 0;
    LeaveCriticalSection(&tty->writeLock);
    return result;
}

// Hands everything queued to the engine in chunks; 1 when anything came.
static int drainInput(uint8_t *chunk)
{
    int delivered = 0;
    for (;;) {
        DWORD n = ReadPort(mainWindow, chunk, READ_CHUNK);
        if (n == 0)
            return delivered;
        ProcessReceived(mainWindow, chunk, n);
        UpdateWindow(mainWindow);
        delivered = 1;
    }
}

// The thread's last access to the record: clear its handle, then its id.
static void endReaderThread(TtyState *tty)
{
    HANDLE self = tty->readerThread.exchange(nullptr);
    if (self)
        CloseHandle(self);
    tty->readerThreadId.store(0, std::memory_order_release);
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
    while (tty->connected.load(std::memory_order_acquire)) {
        DWORD mask = 0;
        if (!WaitCommEvent(port, &mask, &wait)) {
            DWORD ignored = 0;
            if (GetLastError() != ERROR_IO_PENDING || !awaitOverlapped(port, &wait, &ignored))
                mask = 0;
        }
        int delivered = drainInput(chunk);
        // A wait that ended without an event must not turn into a spin.
        if (!(mask & EV_RXCHAR) && !delivered && tty->connected)
            Sleep(READER_IDLE_WAIT_MS);
    }
    CloseHandle(wait.hEvent);
    endReaderThread(tty);
    return 1;
}
