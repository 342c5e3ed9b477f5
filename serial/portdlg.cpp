// The port selection page: a drop-down list of COM1..COM8 and TELNET,
// preselected from the TtyState's portNumber, which Next writes back.
// The TtyState comes in as the creation parameter and is kept in a window
// property of the page for as long as the page exists; the page has no
// other state. Cancel ends the program through a posted WM_CLOSE.
#include "serial/serial.h"
#include "app/app.h"
#include "app/ids.h"
#include <cstdio>

#define PORT_PROPERTY     MAKEINTATOM(0x100)
#define PORT_PREFIX_SIZE  81
#define PORT_LIST_COMS    8
#define PORT_NEXT_ID      3

static TtyState *pageTtyState(HWND dialog)
{
    return static_cast<TtyState *>(GetPropA(dialog, PORT_PROPERTY));
}

int PortDlgInit(HWND dialog)
{
    TtyState *tty = pageTtyState(dialog);
    if (!tty)
        return 0;
    char prefix[PORT_PREFIX_SIZE];
    LoadPortPrefix(prefix, sizeof prefix);
    for (int n = 1; n <= PORT_LIST_COMS; n++) {
        char name[PORT_PREFIX_SIZE + 16];
        snprintf(name, sizeof name, "%s%d", prefix, n);
        SendDlgItemMessageA(dialog, IDC_PORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendDlgItemMessageA(dialog, IDC_PORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("TELNET"));
    int portNumber = static_cast<uint8_t>(tty->portNumber);
    SendDlgItemMessageA(dialog, IDC_PORT, CB_SETCURSEL, static_cast<WPARAM>(portNumber - 1), 0);
    return 1;
}

int PortDlgSave(HWND dialog)
{
    TtyState *tty = pageTtyState(dialog);
    if (!tty)
        return 0;
    LRESULT index = SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCURSEL, 0, 0);
    tty->portNumber = static_cast<uint8_t>(LOWORD(index) + 1);
    return 1;
}

// Next and Cancel both end with result 1; only Next stores the choice.
INT_PTR CALLBACK PortDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetPropA(dialog, PORT_PROPERTY, reinterpret_cast<HANDLE>(lParam));
        return PortDlgInit(dialog);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case PORT_NEXT_ID:
            PortDlgSave(dialog);
            EndDialog(dialog, 1);
            return 1;
        case IDCANCEL:
            EndDialog(dialog, 1);
            RequestClose();
            return 1;
        }
        return 0;
    case WM_DESTROY:
        RemovePropA(dialog, PORT_PROPERTY);
        return 0;
    }
    return 0;
}
