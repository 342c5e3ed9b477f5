// The serial link: the per-window TtyState record, opening, configuring and
// closing the COM port, overlapped reads and writes, the reader thread and
// the port selection dialog. Who touches TtyState across the two threads
// (U = user-interface thread, R = a reader thread; the rest is U's alone):
//
// | field | written by | read by | how |
// |---|---|---|---|
// | connected | U (OpenPort sets it, ClosePort clears it) | U, R | ClosePort clears it under EngineLock, so no step of the engine writes after it |
// | portHandle | U, only while no reader delivers | U; R while it delivers (ReadPort, the engine's writes) | the reader's link state: U waits for a delivering reader |
// | writeOverlapped | U, R (WritePort) | U, R | writeLock |
// | readOverlapped | R (ReadPort) | R | the reader's alone |
// | displayErrors | set once at creation | U, R | never changes |
// | reader, readerThread, readerThreadId | U (StartPortReader, StopPortReader) | U | U's alone |
//
// Each reader thread shares a ReaderLink of its own with ClosePort:
//
// | field | written by | read by | how |
// |---|---|---|---|
// | state | R: WAITING <-> DELIVERING, -> ENDED; U: WAITING -> ABANDONED | U, R | compare-and-swap: ClosePort gives up only on a reader in WAITING |
// | stopping, stop | U (ClosePort), once | R: every wait ends on stop | set before the engine's lock is taken |
// | port | U, before the thread starts | R | the last one out (ENDED: ClosePort; ABANDONED: the reader) closes it and frees the link |
#ifndef TESSEL_SERIAL_H
#define TESSEL_SERIAL_H

#include <windows.h>
#include <cstdint>
#include "app/sharedword.h"

#define SCREEN_ROWS   40
#define SCREEN_COLS   120
#define READ_CHUNK    80
#define DEFAULT_PORT  1
#define DEFAULT_BAUD  115200

#define FLOW_DTR_DSR   1
#define FLOW_RTS_CTS   2
#define FLOW_XON_XOFF  4

#define READER_WAITING     0   // in or between kernel waits: ClosePort may give up on it
#define READER_DELIVERING  1   // handing bytes to the engine, whose pages are the user's time
#define READER_ENDED       2   // gone: ClosePort closes the device and frees the link
#define READER_ABANDONED   3   // given up on: the reader closes the device and frees the link

// What one reader thread shares with ClosePort (the table above). Its own,
// not the window's, so a reader given up on touches nothing the window may
// reuse or free.
struct ReaderLink {
    SharedWord state;
    SharedWord stopping;
    HANDLE stop;
    HANDLE port;
};

struct TtyState {
    HANDLE portHandle;
    uint8_t portNumber;
    char screen[SCREEN_ROWS * SCREEN_COLS];
    SharedWord connected;
    int32_t displayErrors;
    uint8_t byteSize;
    uint8_t flowControl;
    uint8_t parity;
    uint8_t stopBits;
    uint32_t baudRate;
    uint16_t caretState;
    HFONT font;
    LOGFONTA logFont;
    COLORREF textColor;
    int32_t clientWidth;
    int32_t clientHeight;
    int32_t xScrollMax;
    int32_t yScrollMax;
    int32_t xOffset;
    int32_t yOffset;
    int32_t cursorColumn;
    int32_t cursorRow;
    int32_t charWidth;
    int32_t charHeight;
    HANDLE readerThread;
    uint32_t readerThreadId;
    ReaderLink *reader;
    CRITICAL_SECTION writeLock;   // keeps the two threads' writes off the one writeOverlapped
    OVERLAPPED writeOverlapped;
    OVERLAPPED readOverlapped;
};

TtyState *GetTtyState(HWND window);
int CreateTtyState(HWND window);
int DestroyTtyState(HWND window);

void ClearPortError(HANDLE port, DWORD *errors);
void SetPortIoStop(HANDLE stop);
BOOL AwaitPortIo(HANDLE port, OVERLAPPED *overlapped, DWORD *count, DWORD limitMs);
DWORD ReadPort(HWND window, uint8_t *buffer, DWORD wanted);
int WritePort(HWND window, const void *bytes, DWORD count);
DWORD WINAPI PortReaderThread(LPVOID parameter);
int StartPortReader(TtyState *tty);
void SignalPortReaderStop(TtyState *tty);
int StopPortReader(TtyState *tty);
void PauseReader(DWORD ms);

int PortIsOpen(HWND window);
int LoadPortPrefix(char *prefix, int size);

int OpenPort(HWND window);
int ApplyPortSettings(HWND window);
int ClosePort(HWND window);

INT_PTR CALLBACK PortDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int PortDlgInit(HWND dialog);
int PortDlgSave(HWND dialog);

#endif
