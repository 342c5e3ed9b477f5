// The benchmark's measurements of the real TesselFlash.exe, one a call,
// each printed as one line of key=value figures for bench.sh to gather.
#ifndef TESSEL_BENCHDRIVE_H
#define TESSEL_BENCHDRIVE_H

#include "tests/upload_harness.h"
#include <string>

// A paced upload of a SIZE-byte image, start to completion page, with the
// box's turnaround figures; BOX: the simulator's options.
int BenchUpload(uint32_t size, const std::string &box);
// The program left at the cable page with the port open: its CPU share and
// resident memory over SECONDS (the Welcome page, port closed, first).
int BenchIdle(int seconds);
// One WritePort call a byte against one a block, on the COM5/COM6 pty pair.
int BenchWriteCost(void);

#endif
