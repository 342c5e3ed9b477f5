// Whether the user has asked to end the program: every way out posts
// WM_CLOSE to the main window, so work that runs between modal pages checks
// for it before it touches the window or its TtyState again.
#include "app/app.h"

int IsClosing(HWND window)
{
    MSG msg;
    return !IsWindow(window) || PeekMessageA(&msg, window, WM_CLOSE, WM_CLOSE, PM_NOREMOVE);
}
