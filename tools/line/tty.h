// Line settings for a serial device or a pty: raw 115200 8N1 with no flow
// control of either kind, reads that return as soon as one byte is there,
// and non-blocking descriptors for the tools' poll loops.
#ifndef TESSEL_LINE_TTY_H
#define TESSEL_LINE_TTY_H

// Raw 115200 8N1, no RTS/CTS, no XON/XOFF, VMIN 1, VTIME 0; `name` is for messages.
int SetRawLine(int fd, const char *name);
// Opens PATH read/write, no controlling tty, non-blocking; raw as above if it
// is a tty. The descriptor, or -1 after a message naming the failed call.
int OpenRawLine(const char *path);
int SetNonBlocking(int fd, const char *name);
// Closes fd; 0 after a message if that failed.
int CloseLine(int fd, const char *name);

#endif
