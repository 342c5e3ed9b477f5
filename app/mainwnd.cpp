// The main window procedure: the window's own messages go to the terminal,
// the serial link and the tick; WM_COMMAND carries the program's command set
// from the menu, the accelerator keys, the engine, the tick and the dialogs.
// A failure reaction shows its page and then asks for a new wizard, which
// only the main loop starts (RunPendingWizard), once every page beneath has
// unwound: never inside another page's loop.
#include "app/app.h"
#include "app/ids.h"
#include "serial/serial.h"
#include "terminal/screen.h"
#include "upload/upload.h"

static int reopenPending;   // a failure asked for a new wizard; user-interface thread only

static void endConnectPage(void)
{
    if (connectDialog)
        PostMessageA(connectDialog, WM_COMMAND, IDOK, 0);
}

// Two failures reported close together still start one new wizard. The
// posted message only wakes the main loop; whoever's loop takes it, the
// main loop's next turn runs the wizard, and its timer wakes it anyway.
static void reopenWizard(HWND window)
{
    reopenPending = 1;
    PostMessageA(window, WM_REOPEN_WIZARD, 0, 0);
}

void RunPendingWizard(HWND window)
{
    if (!reopenPending)
        return;
    reopenPending = 0;
    if (!IsClosing(window))
        OpenPort(window);
}

// The reactions to a reported failure: its own page, then a new wizard
// from the main loop. A box that did not answer at all also loses its port.
static void reactToFailure(HWND window, int id)
{
    if (id == CMD_FAIL_RETRY) {
        upload.bannerAnswered = 0;
        ShowPage(window, DLG_FAIL_MAINS, MessageDlgProc, 0);
    } else {
        endConnectPage();
        ShowPage(mainWindow, DLG_COMM_FAILED, MessageDlgProc, 0);
        ClosePort(window);
    }
    reopenWizard(window);
}

// Returns 0 for the commands that end early without the common tail.
static int runCommand(HWND window, int id)
{
    TtyState *tty = GetTtyState(window);
    switch (id) {
    case CMD_CONNECT:
        if (!OpenPort(window) && !IsClosing(window))
            ShowPage(window, DLG_OPEN_FAILED, MessageDlgProc, 0);
        break;
    case CMD_DISCONNECT:
        ScreenLoseFocus(window);
        ClosePort(window);
        break;
    case CMD_EXIT:
        ScreenLoseFocus(window);
        ClosePort(window);
        RequestClose();
        break;
    case CMD_SETTINGS:
        if (!tty)
            return 0;
        ShowPage(window, DLG_PORT, PortDlgProc, reinterpret_cast<LPARAM>(tty));
        if (tty->connected && !ApplyPortSettings(window))
            MessageBoxA(window, "Settings failed!", APP_TITLE, MB_ICONEXCLAMATION | MB_OK);
        break;
    case CMD_ABOUT:
    case IDM_ABOUT_ITEM:
        ShowPage(window, DLG_ABOUT, AboutDlgProc, 0);
        break;
    case CMD_SEND_CR:
        if (!tty)
            return 0;
        if (!tty->connected) {
            ShowPage(window, DLG_PORT_NOT_OPEN, MessageDlgProc, 0);
        } else {
            static const char carriageReturn = '\r';
            upload.promptWatch = TICKS_SEND_CR;
            WritePort(window, &carriageReturn, 1);
        }
        break;
    case CMD_SHOW_PROGRESS:
        endConnectPage();   // a transfer runs: the box answered without a prompt
        ShowPage(window, DLG_PROGRESS, ProgressDlgProc, 0);
        break;
    case CMD_FAIL_RECOVER:
        ShowPage(window, DLG_FAIL_RECOVER, MessageDlgProc, 0);
        break;
    case CMD_FAIL_RETRY:
    case CMD_NO_RESPONSE:
        reactToFailure(window, id);
        break;
    case CMD_MONITOR_FOUND: {
        if (!tty)
            return 0;
        endConnectPage();
        // CHOOSE_BUSY: the engine is choosing for a box that asked first.
        int result = ChooseFirmwareImage(window, 1);
        if (result == 1 && IsWindow(window))
            ShowPage(window, DLG_INVALID_FILE, InvalidFileDlgProc, 0);
        else if (result == 2)
            RequestClose();
        break;
    }
    default:
        break;
    }
    return 1;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return CreateTtyState(window);
    case WM_DESTROY:
        DestroyTtyState(window);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        ScreenResize(window, HIWORD(lParam), LOWORD(lParam));
        return 0;
    case WM_SETFOCUS:
        ScreenGainFocus(window);
        return 0;
    case WM_KILLFOCUS:
        ScreenLoseFocus(window);
        return 0;
    case WM_PAINT:
        ScreenPaint(window);
        return 0;
    case WM_CLOSE:
        MarkClosing();   // the close box too: the reader thread must see it
        ClosePort(window);
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_CHAR:
        ScreenKeyChar(window, uint8_t(wParam & 0xFF));
        return 0;
    case WM_COMMAND:
        if (runCommand(window, LOWORD(wParam)))
            ScreenPaint(window);
        return 0;
    case WM_TIMER:
        UploadTimerTick(window);
        return 0;
    case WM_HSCROLL:
        ScreenScrollHorizontal(window, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_VSCROLL:
        ScreenScrollVertical(window, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_REOPEN_WIZARD:
        return 0;   // only wakes the main loop, which runs RunPendingWizard
    case WM_CHOOSE_FOR_BOX:
        return 1 + ChooseFirmwareImage(window, 0);
    case WM_NOT_REBOOTED:
        MessageBoxA(window, NOT_REBOOTED_TEXT, APP_TITLE, MB_ICONEXCLAMATION | MB_OK);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
