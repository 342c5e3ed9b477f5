// Process-wide handles of the application shell and the procedures of its
// wizard and message dialogs. All of them live on the user-interface thread
// except CompletedDlgProc, which the engine runs on the reader thread.
#ifndef TESSEL_APP_H
#define TESSEL_APP_H

#include <windows.h>
#include <atomic>

#define APP_TITLE "Tessel Flash Programmer"

// Posted by a failure reaction so that the wizard starts over from the main
// loop instead of one modal level deeper each time.
#define WM_REOPEN_WIZARD (WM_APP + 1)

extern HWND mainWindow;
extern HINSTANCE appInstance;
extern HACCEL accelTable;
extern HWND connectDialog;
// Set by every way out before its WM_CLOSE is handled; read on both threads
// (the reader thread's pages cannot see the user-interface thread's queue).
extern std::atomic<int> closeRequested;

// Asks the main window to close, from any thread.
void RequestClose(void);

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
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
