// What the program under test costs, read from outside: its Linux process
// (and the Wine server's) through Wine's Z: drive, since Windows gives no
// working set or handle count of another process here.
#ifndef TESSEL_PROCUSAGE_H
#define TESSEL_PROCUSAGE_H

#include "tests/app_driver.h"

struct Usage {
    double peakMiB;       // VmHWM
    double residentMiB;   // VmRSS
    double cpuSeconds;    // the Windows view of the process: kernel + user
    double linuxCpuTicks; // utime + stime of the Linux process, in clock ticks
    double serverCpuTicks;// the same of the Wine server that serves it
    int descriptors;      // open files of the Linux process: ports, pipes, sockets
};

#define PROC_TICKS_PER_SECOND 100.0   // Linux's USER_HZ

// PROGRAM: the name its Linux process has (Wine's is the program's file name).
Usage UsageOf(App &app, const char *program = "TesselFlash.exe");
double ReadNumberAfter(const std::string &text, const char *key);
double ReadSeconds(void);   // the performance counter, for durations

#endif
