// The debug log of failed Win32 calls. Only a debugger or a log viewer sees
// it; the user meets the failure as the page the design gives it.
#include "app/winlog.h"

#include <cstdio>

void LogWin32Failure(const char *call, const char *subject, DWORD error)
{
    char line[256];
    snprintf(line, sizeof line, "Tessel Flash Programmer: %s failed for %s: error %lu\n", call, subject,
             (unsigned long)error);
    OutputDebugStringA(line);
}
