// Stands in for the serial link in the engine tests: every byte handed to
// WritePort is kept for the test to check, and the port is open while
// portOpen says so.
#include "tests/upload_harness.h"
#include "serial/serial.h"

int PortIsOpen(HWND)
{
    return portOpen;
}

int WritePort(HWND, const void *bytes, DWORD count)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    portWritten.insert(portWritten.end(), p, p + count);
    return 1;
}
