// Process-wide handles of the application shell and the procedures of its
// wizard and message dialogs. All of them run on the user-interface thread,
// but two that the engine also shows on the reader thread: CompletedDlgProc
// always, WarningDlgProc when the box asked for data before an image was
// chosen. Start-up sets mainWindow, appInstance and accelTable once, before
// the reader exists; connectDialog changes with the connect page, on the
// user-interface thread only. closeRequested is the one shared word here:
// set on either thread, read on both (upload/upload.h tells how the threads
// share the rest).
#ifndef TESSEL_APP_H
#define TESSEL_APP_H

#include <windows.h>
#include "app/sharedword.h"

#define APP_TITLE "Tessel Flash Programmer"

// Posted by a failure reaction to wake the main loop, which starts the
// wizard over at its own level, never one modal level deeper.
#define WM_REOPEN_WIZARD (WM_APP + 1)
// Posted when every block arrived but the port closed before the box could
// be told to reboot: the main window says so instead of the completion page.
#define WM_NOT_REBOOTED (WM_APP + 2)
// Sent by the engine when a box asks for data while no image is open: the
// main window's thread runs the selection and answers 1 + its result (0, an
// unhandled message, reads as cancelled). The selection's dialogs stay on the
// one thread that lives as long as the program: under Wine, each new thread
// that opens a file dialog leaves a COM endpoint behind, and the 64th such
// dialog never shows.
#define WM_CHOOSE_FOR_BOX (WM_APP + 3)
#define NOT_REBOOTED_TEXT \
    "The image has been uploaded, but the IRD was not rebooted: the port was closed.\n" \
    "Please switch the IRD off and on again."

extern HWND mainWindow;
extern HINSTANCE appInstance;
extern HACCEL accelTable;
extern HWND connectDialog;
// Set by every way out before its WM_CLOSE is handled; read on both threads
// (the reader thread's pages cannot see the user-interface thread's queue).
extern SharedWord closeRequested;

// Asks the main window to close, from any thread; MarkClosing only says so.
void RequestClose(void);
void MarkClosing(void);

// Shows one of the program's pages modally, owned by the given window.
void ShowPage(HWND owner, int templateId, DLGPROC procedure, LPARAM parameter);
INT_PTR CALLBACK MessageDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK WelcomeDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CompletedDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK InvalidFileDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK WarningDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CableDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConnectMainsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

ATOM RegisterMainWindowClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance, int show);
int IsClosing(HWND window);
// The main loop's turn: the new wizard that a failure asked for, if any.
void RunPendingWizard(HWND window);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
