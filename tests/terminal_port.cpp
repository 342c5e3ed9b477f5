// The little the terminal tests need from the rest of the program: the port
// is never opened here and received bytes never arrive.
#include "serial/serial.h"
#include "upload/upload.h"

int ClosePort(HWND) { return 1; }

int ProcessReceived(HWND, const uint8_t *, DWORD) { return 1; }
