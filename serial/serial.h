// The serial link: the per-window TtyState record, opening, configuring and
// closing the COM port, overlapped reads and writes, the reader thread and
// the port selection dialog. What the two threads share:
//  - connected: OpenPort and ClosePort change it (ClosePort under the
//    engine's lock, so no step of the engine writes after it); both read it.
//  - portHandle: changed by the user-interface thread only while no reader
//    hands bytes to the engine, which is the only time the reader uses it.
//  - writeLock around writeOverlapped: writes come from both threads;
//    readOverlapped is the reader's alone.
//  - the ReaderLink of each reader thread: its state moves by
//    compare-and-swap between the reader and ClosePort, and the last one
//    out closes the device and frees the link (serial/reader.cpp).
// readerThread, readerThreadId and reader belong to the user-interface thread.
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

// What one reader thread shares with ClosePort. Its own, not the window's,
// so a reader given up on touches nothing the window may reuse or free.
struct ReaderLink {
    SharedWord state;
    SharedWord stopping;   // set by ClosePort before stop
    HANDLE stop;           // set by ClosePort: every wait of the reader ends
    HANDLE port;           // the device as opened; the reader's to release if abandoned
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
BOOL AwaitPortIo(HANDLE port, OVERLAPPED *overlapped, DWORD *count);
void ReleaseDevice(HANDLE port);
DWORD ReadPort(HWND window, uint8_t *buffer, DWORD wanted);
int WritePort(HWND window, const void *bytes, DWORD count);
DWORD WINAPI PortReaderThread(LPVOID parameter);
int StartPortReader(TtyState *tty);
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
