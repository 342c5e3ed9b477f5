// One debug line for a failed Win32 call: which call, what it was for (the
// port or file it names) and the error number, so that a failure a user
// meets as a bare page can be diagnosed from a debugger's log.
#ifndef TESSEL_WINLOG_H
#define TESSEL_WINLOG_H

#include <windows.h>

void LogWin32Failure(const char *call, const char *subject, DWORD error);

#endif
