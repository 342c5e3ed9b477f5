// The per-window TtyState record: created on WM_CREATE with its defaults,
// kept in the main window's extra slot 0, freed on WM_DESTROY after the port
// has been closed. It owns the font, the I/O events and the write lock.
#include "serial/serial.h"
#include "app/winlog.h"
#include "terminal/screen.h"

#include <new>

static const uint32_t ACCEPTED_BAUD_RATES[] = { 110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 56000 };

TtyState *GetTtyState(HWND window)
{
    if (!window)
        return nullptr;
    return reinterpret_cast<TtyState *>(GetWindowLongPtrA(window, 0));
}

static uint32_t chooseBaudRate(uint32_t wanted)
{
    for (uint32_t rate : ACCEPTED_BAUD_RATES) {
        if (rate == wanted)
            return rate;
    }
    return 115200;
}

static void fillLogFont(LOGFONTA *font)
{
    font->lfHeight = 12;
    font->lfCharSet = OEM_CHARSET;
    font->lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    lstrcpyA(font->lfFaceName, "FixedSys");
}

// Everything the record owns; also for a record that was only half made.
static void freeTtyState(TtyState *tty)
{
    if (tty->readOverlapped.hEvent)
        CloseHandle(tty->readOverlapped.hEvent);
    if (tty->writeOverlapped.hEvent)
        CloseHandle(tty->writeOverlapped.hEvent);
    DeleteCriticalSection(&tty->writeLock);
    if (tty->font)
        DeleteObject(tty->font);
    tty->~TtyState();
    LocalFree(tty);
}

// 1 on success, -1 so that the window is not created.
int CreateTtyState(HWND window)
{
    void *memory = LocalAlloc(LPTR, sizeof(TtyState));
    if (!memory) {
        LogWin32Failure("LocalAlloc", "the TtyState record", GetLastError());
        return -1;
    }
    TtyState *tty = new (memory) TtyState();
    InitializeCriticalSection(&tty->writeLock);
    tty->readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    tty->writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!tty->readOverlapped.hEvent || !tty->writeOverlapped.hEvent) {
        LogWin32Failure("CreateEventA", "the port's overlapped blocks", GetLastError());
        freeTtyState(tty);
        return -1;
    }

    tty->portHandle = INVALID_HANDLE_VALUE;
    tty->portNumber = DEFAULT_PORT;
    tty->connected = 0;
    tty->displayErrors = 1;
    tty->byteSize = 8;
    tty->flowControl = 0;
    tty->parity = NOPARITY;
    tty->stopBits = ONESTOPBIT;
    tty->baudRate = chooseBaudRate(DEFAULT_BAUD);
    tty->textColor = RGB(0, 0, 0);
    for (char &cell : tty->screen)
        cell = ' ';
    fillLogFont(&tty->logFont);

    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(tty));
    ScreenSetFont(window, tty);
    return 1;
}

// The reader never touches the record once ClosePort has returned, so the
// record goes at once.
int DestroyTtyState(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    if (tty->connected)
        ClosePort(window);
    SetWindowLongPtrA(window, 0, 0);
    freeTtyState(tty);
    return 1;
}
