// The serial link as the engine's tests see it: a recording WritePort, a
// port that is open while portOpen says so, and pauses that may be skipped.
#include "tests/upload_harness.h"
#include "serial/serial.h"
#include "app/app.h"

std::vector<WriteTag> writeTags;

int PortIsOpen(HWND) { return portOpen; }
void PauseReader(DWORD ms) { Sleep(realPauses ? ms : 0); }

int WritePort(HWND, const void *bytes, DWORD count)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    portWritten.insert(portWritten.end(), p, p + count);
    portWriteCalls.push_back(count);
    writeTags.push_back({ upload.attempt, closeRequested });
    return 1;
}
