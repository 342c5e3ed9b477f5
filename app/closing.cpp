// Whether the user has asked to end the program. Every way out posts
// WM_CLOSE to the main window and sets closeRequested first, so work that
// runs between modal pages checks for it before it touches the window or its
// TtyState again, and the reader thread, which cannot see the user-interface
// thread's queue, sees it too (a SharedWord; app/app.h). It is set under
// the engine's lock, so no step of the engine that began before writes after
// it. Nothing clears it: the program is ending.
#include "app/app.h"
#include "upload/upload.h"

SharedWord closeRequested{ 0 };

void MarkClosing(void)
{
    EnterCriticalSection(EngineLock());
    closeRequested = 1;
    LeaveCriticalSection(EngineLock());
}

void RequestClose(void)
{
    MarkClosing();
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
}

int IsClosing(HWND window)
{
    MSG msg;
    return closeRequested || !IsWindow(window) || PeekMessageA(&msg, window, WM_CLOSE, WM_CLOSE, PM_NOREMOVE);
}
