// Signals as bytes on a pipe, so a poll loop sees them with its other
// descriptors and handles them in its own time, not inside a handler.
#ifndef TESSEL_LINE_SIGNALS_H
#define TESSEL_LINE_SIGNALS_H

// Catches each of the count signals into a non-blocking pipe and ignores
// SIGPIPE; the pipe's read end (each byte read is a signal number), or -1.
int OpenSignalPipe(const int *numbers, int count);

#endif
