// The serial link: the per-window TtyState record, opening, configuring and
// closing the COM port, overlapped reads and writes, the reader thread and
// the port selection dialog. Shared by the user-interface thread and the
// reader thread: connected (OpenPort and ClosePort change it), readerStop
// (ClosePort sets it, OpenPort resets it before a reader starts),
// readerThread and readerThreadId (OpenPort sets them; the reader clears
// them as its last act, by compare-and-swap, so a reader that ClosePort gave
// up on never clears a newer reader's), and writeLock around writeOverlapped.
#ifndef TESSEL_SERIAL_H
#define TESSEL_SERIAL_H

#include <windows.h>
#include <atomic>
#include <cstdint>

#define SCREEN_ROWS   40
#define SCREEN_COLS   120
#define READ_CHUNK    80
#define DEFAULT_PORT  1
#define DEFAULT_BAUD  115200

#define FLOW_DTR_DSR   1
#define FLOW_RTS_CTS   2
#define FLOW_XON_XOFF  4

struct TtyState {
    HANDLE portHandle;
    uint8_t portNumber;
    char screen[SCREEN_ROWS * SCREEN_COLS];
    std::atomic<int32_t> connected;
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
    std::atomic<HANDLE> readerThread;
    std::atomic<uint32_t> readerThreadId;
    HANDLE readerStop;            // set by ClosePort: the reader's waits end at once
    CRITICAL_SECTION writeLock;   // keeps the two threads' writes off the one writeOverlapped
    OVERLAPPED writeOverlapped;
    OVERLAPPED readOverlapped;
};

TtyState *GetTtyState(HWND window);
int CreateTtyState(HWND window);
int DestroyTtyState(HWND window);

DWORD ReadPort(HWND window, uint8_t *buffer, DWORD wanted);
int WritePort(HWND window, const void *bytes, DWORD count);
DWORD WINAPI PortReaderThread(LPVOID parameter);

int PortIsOpen(HWND window);
int LoadPortPrefix(char *prefix, int size);

int OpenPort(HWND window);
int ApplyPortSettings(HWND window);
int ClosePort(HWND window);

INT_PTR CALLBACK PortDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int PortDlgInit(HWND dialog);
int PortDlgSave(HWND dialog);

#endif
