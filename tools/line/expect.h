// What the test drivers (hostsim, linecal) do with their end of a line:
// write bytes within a time limit, read exactly the bytes expected and check
// each as it comes. A failure is one "TOOL: FAIL: WHAT: ..." line on stderr
// that says what differed, with the bytes around it in hex.
#ifndef TESSEL_LINE_EXPECT_H
#define TESSEL_LINE_EXPECT_H

#include <cstddef>
#include <cstdint>

// As many bytes as fit in out, as "0A 41 ..."; out is always terminated.
void HexDump(char *out, size_t size, const uint8_t *bytes, size_t count);
// Writes all count bytes by the deadline (in ReadClock seconds).
int WriteBefore(int fd, const uint8_t *bytes, size_t count, double deadline, const char *what);
// Reads exactly count bytes within timeoutMs, each checked against want.
int ExpectBytes(int fd, const uint8_t *want, size_t count, int timeoutMs, const char *what);

#endif
