// Opening, configuring and closing the COM port, all on the user-interface
// thread. OpenPort also runs the connection wizard's pages; after every page
// it checks whether the user asked to end the program (a posted WM_CLOSE),
// so nothing touches the window or its TtyState once they are going away.
// ClosePort stops the reader (serial/reader.cpp; who may touch what: the
// tables in serial/serial.h) and leaves an invalid portHandle. Each attempt
// starts clean: the previous one's watchdogs, sender and transfer are
// stopped.
#include "serial/serial.h"
#include "upload/upload.h"
#include "terminal/screen.h"
#include "app/app.h"
#include "app/ids.h"
#include "app/winlog.h"

#include <cstdio>

#define INPUT_QUEUE_BYTES   4096
#define OUTPUT_QUEUE_BYTES  65536
#define PURGE_ALL (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)
#define PORT_PREFIX_LIMIT   10

// The port-name prefix of string 784; 0 when it cannot be had, so that no
// caller opens a bare number as a file name.
int LoadPortPrefix(char *prefix, int size)
{
    prefix[0] = '\0';
    if (LoadStringA(appInstance, IDS_COM_PREFIX, prefix, size) > 0)
        return 1;
    LogWin32Failure("LoadStringA", "the port-name prefix (string 784)", GetLastError());
    return 0;
}

static int buildDeviceName(const TtyState *tty, char *name, size_t size)
{
    if (tty->portNumber > 8) {
        snprintf(name, size, "%s", "\\\\.\\TELNET");
        return 1;
    }
    char prefix[PORT_PREFIX_LIMIT];
    if (!LoadPortPrefix(prefix, sizeof prefix))
        return 0;
    snprintf(name, size, "%s%d", prefix, tty->portNumber);
    return 1;
}

// The normal end of an open device, once no reader uses it: drops DTR,
// purges both directions and closes it.
static void releaseDevice(HANDLE port)
{
    EscapeCommFunction(port, CLRDTR);
    PurgeComm(port, PURGE_ALL);
    CloseHandle(port);
}

// Closes a device that no reader has used yet (its set-up failed).
static void closeUnusedDevice(TtyState *tty)
{
    tty->connected = 0;
    CloseHandle(tty->portHandle);
    tty->portHandle = INVALID_HANDLE_VALUE;   // later writes reach no device
}

int OpenPort(HWND window)
{
    // 1. the record and the port selection
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    StopUploadAttempt();
    ShowPage(window, DLG_PORT, PortDlgProc, reinterpret_cast<LPARAM>(tty));
    if (IsClosing(window))
        return 0;
    ClosePort(window);
    StopUploadAttempt();   // what the reader did until it stopped belongs to the old attempt
    ReleaseImage(IMAGE_SENDING);

    // 2. open the device
    char name[32];
    if (!buildDeviceName(tty, name, sizeof name))
        return 0;
    tty->portHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (tty->portHandle == INVALID_HANDLE_VALUE) {
        LogWin32Failure("CreateFileA", name, GetLastError());
        return 0;
    }

    // 3. events, queues, purge, time-outs; the port works without any of
    //    them, so a failure is only logged
    if (!SetCommMask(tty->portHandle, EV_RXCHAR))
        LogWin32Failure("SetCommMask", name, GetLastError());
    if (!SetupComm(tty->portHandle, INPUT_QUEUE_BYTES, OUTPUT_QUEUE_BYTES))
        LogWin32Failure("SetupComm", name, GetLastError());
    if (!PurgeComm(tty->portHandle, PURGE_ALL))
        LogWin32Failure("PurgeComm", name, GetLastError());
    COMMTIMEOUTS timeouts = { MAXDWORD, 0, 1000, 0, 1000 };
    if (!SetCommTimeouts(tty->portHandle, &timeouts))
        LogWin32Failure("SetCommTimeouts", name, GetLastError());

    // 4. line settings
    int result = ApplyPortSettings(window);
    if (!result) {
        LogWin32Failure("SetCommState", name, GetLastError());
        closeUnusedDevice(tty);
        return 0;
    }

    // 5. the reader thread
    tty->connected = 1;
    if (!StartPortReader(tty)) {
        LogWin32Failure("CreateThread (the reader)", name, GetLastError());
        closeUnusedDevice(tty);
        result = 0;
    } else {
        if (!EscapeCommFunction(tty->portHandle, SETDTR))
            LogWin32Failure("EscapeCommFunction (SETDTR)", name, GetLastError());
        if (GetFocus() == window)
            ScreenGainFocus(window);
    }

    // 6. the connection wizard
    ShowPage(window, DLG_CABLE, CableDlgProc, 0);
    if (IsClosing(window))
        return 0;
    ShowPage(window, DLG_DISCONNECT_MAINS, MessageDlgProc, reinterpret_cast<LPARAM>(tty));
    if (IsClosing(window))
        return 0;
    upload.bannerAnswered = 0;
    upload.promptWatch = TICKS_PROMPT;
    int32_t expired = WATCH_EXPIRED;   // the box is powered anew: a late go-ahead of the last attempt is past
    upload.startWatch.compare_exchange_strong(expired, 0);
    connectDialog = nullptr;
    ShowPage(window, DLG_CONNECT_MAINS, ConnectMainsDlgProc, reinterpret_cast<LPARAM>(tty));
    if (!IsWindow(window))
        return 0;
    return result;
}

int ApplyPortSettings(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(tty->portHandle, &dcb))
        LogWin32Failure("GetCommState", "the open port", GetLastError());

    int dtrDsr = (tty->flowControl & FLOW_DTR_DSR) != 0;
    int rtsCts = (tty->flowControl & FLOW_RTS_CTS) != 0;
    int xonXoff = (tty->flowControl & FLOW_XON_XOFF) != 0;
    dcb.BaudRate = tty->baudRate;
    dcb.ByteSize = tty->byteSize;
    dcb.Parity = tty->parity;
    dcb.StopBits = tty->stopBits;
    dcb.fOutxDsrFlow = dtrDsr;
    dcb.fDtrControl = dtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = rtsCts;
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = xonXoff;
    dcb.fInX = xonXoff;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    return SetCommState(tty->portHandle, &dcb);
}

int ClosePort(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    if (!tty->connected)
        return 1;

    // 1. the reader's waits end, an engine write a driver holds included;
    //    then no step of the engine writes once connected is cleared; then
    //    the reader, which owns the device from here if it is given up on
    SignalPortReaderStop(tty);
    EnterCriticalSection(EngineLock());
    tty->connected = 0;
    LeaveCriticalSection(EngineLock());
    int ended = StopPortReader(tty);

    // 2. caret, then DTR, queues and device
    if (tty->caretState) {
        HideCaret(window);
        DestroyCaret();
        tty->caretState = 0;
    }
    if (ended)
        releaseDevice(tty->portHandle);
    tty->portHandle = INVALID_HANDLE_VALUE;   // later writes reach no device
    return 1;
}
