// The process-wide handles of the application shell: the one main window,
// the program's module, the accelerator table and the open connect page.
// Start-up sets the first three once; ConnectMainsDlgProc and OpenPort keep
// connectDialog. All start out null.
#include "app/app.h"

HWND mainWindow = nullptr;
HINSTANCE appInstance = nullptr;
HACCEL accelTable = nullptr;
HWND connectDialog = nullptr;
