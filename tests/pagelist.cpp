// pagelist: the shown top-level windows of the programs in this Wine prefix,
// one a line: its X window, what it is, found by its controls as the tests
// find pages ("main", "welcome", "port", "file", ..., "other"), and "active"
// for the one window that takes the keys. The run command's test tells the
// pages of its programs apart with it, and sees which one has the keyboard.
#include "app/ids.h"

#include <windows.h>
#include <cstdio>
#include <cstring>

static const char *kindOf(HWND window)
{
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "TTYWndClass") == 0)
        return "main";
    if (strcmp(className, "#32770") != 0)
        return "other";
    static const struct { int control; const char *kind; } marks[] = {
        { IDC_PORT, "port" }, { 291, "cable" }, { 293, "disconnect" }, { 292, "connect" }, { 281, "completed" },
        { 1017, "warning" }, { 280, "welcome" }, { 1023, "failure" }, { 1022, "failure" }, { 278, "failure" },
        { 288, "failure" }, { IDC_PERCENT, "progress" }, { 529, "about" }, { 0x47c, "file" }, { 0x480, "file" },
    };
    for (auto mark : marks) {
        if (GetDlgItem(window, mark.control))
            return mark.kind;
    }
    return "other";
}

static BOOL CALLBACK printWindow(HWND window, LPARAM)
{
    // Wine keeps a window's X window in this property.
    unsigned long xWindow = (unsigned long)(ULONG_PTR)GetPropA(window, "__wine_x11_whole_window");
    if (IsWindowVisible(window) && xWindow)
        printf("%lu %s%s\n", xWindow, kindOf(window), window == GetForegroundWindow() ? " active" : "");
    return TRUE;
}

int main()
{
    EnumWindows(printWindow, 0);
    return 0;
}
