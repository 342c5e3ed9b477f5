// The procedures of the Welcome, About, wizard and message pages. Each page
// reacts only to the button ids it owns and ends with result 1; a page
// that ends the program posts WM_CLOSE to the main window rather than
// calling it. CompletedDlgProc runs on the reader thread, every other one on
// the user-interface thread.
#include "app/app.h"
#include "app/winlog.h"
#include "app/ids.h"
#include "serial/serial.h"
#include "upload/upload.h"

#define ABOUT_PICTURE_X     10
#define ABOUT_PICTURE_Y     10
#define ABOUT_PICTURE_SIZE  64
#define REBOOT_HOLD_MS      2000
#define COMPLETED_PORT_TIMER     1
#define COMPLETED_PORT_CHECK_MS  250

void ShowPage(HWND owner, int templateId, DLGPROC procedure, LPARAM parameter)
{
    if (DialogBoxParamA(appInstance, MAKEINTRESOURCEA(templateId), owner, procedure, parameter) == -1)
        LogWin32Failure("DialogBoxParamA", "a page of the program", GetLastError());
}

static WORD commandId(WPARAM wParam)
{
    return LOWORD(wParam);
}

// Makes the page's first button, which takes the initial focus, the default
// one, so that Enter presses it. Not every dialog manager moves the default
// along with the initial focus; without this Enter would reach id 1 instead.
static void makeFocusButtonDefault(HWND dialog, int buttonId)
{
    SendMessageA(dialog, DM_SETDEFID, buttonId, 0);
}

// Shared by the pages that only say something and wait for OK.
INT_PTR CALLBACK MessageDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && commandId(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

// The Welcome page's Next is id 3, so Escape (id 2) cannot skip it.
INT_PTR CALLBACK WelcomeDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && commandId(wParam) == 3) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

// Draws the About picture; the dialog manager still paints the rest.
static void paintAboutPicture(HWND dialog)
{
    PAINTSTRUCT paint;
    HDC target = BeginPaint(dialog, &paint);
    HDC memory = CreateCompatibleDC(target);
    if (memory) {
        HINSTANCE module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
        HBITMAP picture = LoadBitmapA(module, MAKEINTRESOURCEA(IDB_ABOUT));
        if (picture) {
            HGDIOBJ previous = SelectObject(memory, picture);
            BitBlt(target, ABOUT_PICTURE_X, ABOUT_PICTURE_Y, ABOUT_PICTURE_SIZE,
                   ABOUT_PICTURE_SIZE, memory, 0, 0, SRCCOPY);
            SelectObject(memory, previous);
            DeleteObject(picture);
        }
        DeleteDC(memory);
    }
    EndPaint(dialog, &paint);
}

// Only OK ends the About box; its close box and Escape send id 2, ignored.
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_PAINT:
        paintAboutPicture(dialog);
        return FALSE;
    case WM_COMMAND:
        if (commandId(wParam) == IDOK) {
            EndDialog(dialog, 1);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// OK has the box rebooted; the page stays up while the tick types the
// reboot command, and the restart banner is marked answered beforehand. The
// page only promises what an open port can do: when the port closes under
// it (or before OK), it ends and the main window says the box was not
// rebooted, so whoever closed the port does not wait for the user.
INT_PTR CALLBACK CompletedDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        if (!SetTimer(dialog, COMPLETED_PORT_TIMER, COMPLETED_PORT_CHECK_MS, nullptr))
            LogWin32Failure("SetTimer", "the completion page", GetLastError());
        return TRUE;
    case WM_TIMER:
        if (wParam == COMPLETED_PORT_TIMER && !PortIsOpen(mainWindow)) {
            KillTimer(dialog, COMPLETED_PORT_TIMER);
            PostMessageA(mainWindow, WM_NOT_REBOOTED, 0, 0);
            EndDialog(dialog, 1);
        }
        return TRUE;
    case WM_COMMAND:
        if (commandId(wParam) != IDOK)
            break;
        KillTimer(dialog, COMPLETED_PORT_TIMER);
        if (!PortIsOpen(mainWindow)) {
            PostMessageA(mainWindow, WM_NOT_REBOOTED, 0, 0);
        } else {
            upload.bannerAnswered = 1;
            StartRebootCommand();
            Sleep(REBOOT_HOLD_MS);
        }
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

// Retry ends the page first, so the file dialog it asks for opens alone.
INT_PTR CALLBACK InvalidFileDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        makeFocusButtonDefault(dialog, IDCANCEL);
        return TRUE;
    case WM_COMMAND:
        switch (commandId(wParam)) {
        case IDOK:
            EndDialog(dialog, 1);
            PostMessageA(mainWindow, WM_COMMAND, CMD_MONITOR_FOUND, 0);
            return TRUE;
        case IDCANCEL:
            RequestClose();
            EndDialog(dialog, 1);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// Abort (id 1) ends the program; Continue (id 2) just ends the page.
INT_PTR CALLBACK WarningDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        switch (commandId(wParam)) {
        case IDCANCEL:
            EndDialog(dialog, 1);
            return TRUE;
        case IDOK:
            RequestClose();
            EndDialog(dialog, 1);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// Next wakes the box's boot banner with an "s"; Escape leaves silently.
INT_PTR CALLBACK CableDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        switch (commandId(wParam)) {
        case IDOK:
            EndDialog(dialog, 1);
            WritePort(mainWindow, "s", 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 1);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

// The connect page records itself so that the main window can end it with
// a posted id 1; its own Cancel (also Enter and Escape) ends the program.
INT_PTR CALLBACK ConnectMainsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        connectDialog = dialog;
        makeFocusButtonDefault(dialog, IDCANCEL);
        return TRUE;
    case WM_COMMAND:
        switch (commandId(wParam)) {
        case IDOK:
            connectDialog = nullptr;
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 1);
            connectDialog = nullptr;
            RequestClose();
            return TRUE;
        }
        break;
    }
    return FALSE;
}
