// Start-up: the window class, the one main window with its 250 ms timer, the
// Welcome page once, then the port wizard until a port is open, then the
// message loop until the window is destroyed. The retry loop ends as soon as
// the user has asked to close, so it never runs against a dead window.
#include "app/app.h"
#include "app/ids.h"
#include "serial/serial.h"
#include "app/winlog.h"
#include "upload/protocol.h"

#include <commctrl.h>

#define TIMER_ID      1
#define TIMER_PERIOD  TICK_MS

ATOM RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbWndExtra = sizeof(LONG_PTR);   // slot 0: the TtyState
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    windowClass.lpszMenuName = MAKEINTRESOURCEA(IDR_MENU);
    windowClass.lpszClassName = "TTYWndClass";
    ATOM atom = RegisterClassA(&windowClass);
    if (!atom)
        LogWin32Failure("RegisterClassA", "TTYWndClass", GetLastError());
    return atom;
}

HWND CreateMainWindow(HINSTANCE instance, int show)
{
    accelTable = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCEL));
    HWND window = CreateWindowExA(0, "TTYWndClass", APP_TITLE, WS_OVERLAPPEDWINDOW,
                                  50, 50, 550, 350, nullptr, nullptr, instance, nullptr);
    if (!window) {
        LogWin32Failure("CreateWindowExA", "the main window", GetLastError());
        return nullptr;
    }
    ShowWindow(window, show);
    UpdateWindow(window);
    if (!SetTimer(window, TIMER_ID, TIMER_PERIOD, nullptr)) {
        LogWin32Failure("SetTimer", "the main window", GetLastError());
        ExitProcess(UINT(-1));
    }
    return window;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show)
{
    // The progress page's bar lives in the common controls.
    INITCOMMONCONTROLSEX controls = { sizeof controls, ICC_PROGRESS_CLASS };
    InitCommonControlsEx(&controls);

    // 1. class and window
    if (!previous && !RegisterMainWindowClass(instance))
        return 0;
    mainWindow = CreateMainWindow(instance, show);
    if (!mainWindow)
        return 0;
    appInstance = instance;

    // 2. Welcome, then the wizard until a port is open or the user leaves
    DialogBoxParamA(instance, MAKEINTRESOURCEA(DLG_WELCOME), mainWindow, WelcomeDlgProc, 0);
    while (!IsClosing(mainWindow) && !OpenPort(mainWindow)) {
        if (IsClosing(mainWindow))
            break;
        DialogBoxParamA(instance, MAKEINTRESOURCEA(DLG_OPEN_FAILED), mainWindow, MessageDlgProc, 0);
    }

    // 3. the main loop, the only level at which the wizard starts over
    MSG msg;
    for (;;) {
        RunPendingWizard(mainWindow);
        if (!GetMessageA(&msg, nullptr, 0, 0))
            break;
        if (!TranslateAcceleratorA(mainWindow, accelTable, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return int(msg.wParam);
}
