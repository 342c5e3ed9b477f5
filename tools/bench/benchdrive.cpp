// The benchmark's measurements: a paced upload, the program idle (then the time it takes to end), and the
// cost of WritePort itself. Run by flashdrive under tests/with-ports.sh.
#include "tools/bench/benchdrive.h"
#include "tools/bench/procusage.h"
#include "tools/bench/runsupport.h"
#include "tests/upload_harness.h"
#include "serial/serial.h"
#include "app/ids.h"
#include "upload/protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#define LINE_RATE         11520.0
#define BLOCK_LINE_BYTES  (BLOCK_SIZE + CHECKSUM_BYTES + 2.0)   // data and checksum out, 2 acks back

// KEYS of the box's last REPORT line (its turnarounds, or what the adapter
// model held), " key=value" each; "" when it gave none.
static std::string reportOf(const std::string &log, const char *report, std::initializer_list<const char *> keys)
{
    size_t at = log.rfind(report);
    if (at == std::string::npos)
        return "";
    std::string line = log.substr(at, log.find_first_of("\r\n", at) - at), text;
    for (const char *key : keys) {
        char item[48];
        snprintf(item, sizeof item, " %s=%.3f", key, ReadNumberAfter(line, (std::string(key) + "=").c_str()));
        text += item;
    }
    return text;
}

int BenchUpload(uint32_t size, const std::string &box)
{
    // The same bytes for every box; a file of its own for a box on another
    // port, since several drivers may write theirs at once.
    const char *port = getenv("TESSEL_BOX_PORT");
    char name[64];
    snprintf(name, sizeof name, "drive-%u%s%s.bin", unsigned(size), port ? "-" : "", port ? port : "");
    Bytes image;
    DrivePlan plan;
    plan.image = WriteRunImage(name, size, 0, &image);
    plan.portIndex = BoxPortIndex();
    StartBox(box);
    App app;
    if (!Launch(app)) {
        printf("program size=%u result=cannot-start\n", unsigned(size));
        return 0;
    }
    DriveResult result = DriveWizard(app, plan);
    WaitBoxLog("text=boot", 10000);
    Usage usage = UsageOf(app);
    std::string log = BoxLog();
    CloseProgram(app);
    StopBox();
    double seconds = ReadNumberAfter(log, "data_seconds=");
    double rate = seconds > 0 ? size / seconds : 0;
    int ok = result.end == PAGE_COMPLETED && VerdictOf(log) == "complete" && ReceivedEquals(image);
    printf("program size=%u seconds=%.3f rate=%.1f line=%.3f ceiling=%.3f peak_mib=%.1f cpu_s=%.2f%s%s result=%s\n",
           unsigned(size), seconds, rate, 100.0 * rate / LINE_RATE,
           100.0 * rate / (LINE_RATE * BLOCK_SIZE / BLOCK_LINE_BYTES), usage.peakMiB, usage.cpuSeconds,
           reportOf(log, "turnaround", { "p50", "p90", "p99", "max", "mean" }).c_str(),
           reportOf(log, "adapter latency_ms=", { "latency_ms", "hold_p50", "hold_mean" }).c_str(), ok ? "identical" : "FAILED");
    return ok;
}

// CPU share of a core and resident memory of the program over a quiet while.
static void printIdle(App &app, const char *where, int seconds)
{
    Usage start = UsageOf(app);
    DWORD began = GetTickCount();
    Sleep(DWORD(seconds) * 1000);
    Usage end = UsageOf(app);
    double wall = (GetTickCount() - began) / 1000.0;
    printf("idle at=%s seconds=%.1f program_cpu=%.3f%% server_cpu=%.3f%% rss_start_mib=%.3f rss_end_mib=%.3f "
           "rss_growth_kib=%.0f files=%d\n", where, wall,
           100.0 * (end.linuxCpuTicks - start.linuxCpuTicks) / PROC_TICKS_PER_SECOND / wall,
           100.0 * (end.serverCpuTicks - start.serverCpuTicks) / PROC_TICKS_PER_SECOND / wall,
           start.residentMiB, end.residentMiB, (end.residentMiB - start.residentMiB) * 1024.0, end.descriptors);
}

int BenchIdle(int seconds)
{
    StartBox("--pace");
    App app;
    if (!Launch(app))
        return 0;
    HWND page = WaitPage(app, PAGE_WELCOME, 20000);
    Sleep(2000);   // let start-up's own work settle
    printIdle(app, "welcome", seconds < 60 ? seconds : 60);
    Press(page, 3);
    page = WaitPage(app, PAGE_PORT, 5000);
    SendDlgItemMessageA(page, IDC_PORT, CB_SETCURSEL, BoxPortIndex(), 0);
    Press(page, 3);
    int ok = WaitPage(app, PAGE_CABLE, 5000) != nullptr;
    if (ok) {
        Sleep(2000);
        printIdle(app, "cable-page-port-open", seconds);
    } else {
        printf("idle at=cable-page result=no-cable-page\n");
    }
    double start = ReadSeconds();
    DWORD code = CloseProgram(app);
    printf("close from=cable-page ms=%.1f exit=%lu\n", 1000.0 * (ReadSeconds() - start), (unsigned long) code);
    StopBox();
    return ok;
}

static std::atomic<int> draining{ 1 };

static void drainBoxEnd(HANDLE port, size_t *total)
{
    uint8_t buffer[4096];
    while (draining) {
        DWORD n = 0;
        if (ReadFile(port, buffer, sizeof buffer, &n, nullptr) && n > 0)
            *total += n;
    }
}

int BenchWriteCost(void)
{
    HWND window = CreateTestMainWindow(nullptr);
    TtyState *tty = GetTtyState(window);
    HANDLE boxEnd = OpenBoxEnd("COM6");
    if (!tty || boxEnd == INVALID_HANDLE_VALUE)
        return 0;
    COMMTIMEOUTS quick = { MAXDWORD, 0, 50, 0, 2000 };
    SetCommTimeouts(boxEnd, &quick);
    tty->portHandle = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
    if (tty->portHandle == INVALID_HANDLE_VALUE)
        return 0;
    size_t received = 0;
    std::thread drain(drainBoxEnd, boxEnd, &received);
    static uint8_t block[BLOCK_SIZE + CHECKSUM_BYTES];
    const int bytes = 256 * 1024;
    const struct { const char *what; int size; } rows[] = {
        { "one byte a call", 1 }, { "1028 bytes a call", int(sizeof block) } };
    int ok = 1;
    for (auto row : rows) {
        double start = ReadSeconds();
        int calls = bytes / row.size;
        for (int i = 0; i < calls; i++)
            ok &= WritePort(window, block, row.size);
        double seconds = ReadSeconds() - start;
        printf("WritePort %-18s %7d bytes  %7.3f s  %7.2f us a byte  %9.0f B/s\n", row.what, calls * row.size,
               seconds, 1e6 * seconds / (calls * row.size), calls * row.size / seconds);
    }
    Sleep(300);
    draining = 0;
    drain.join();
    CloseHandle(tty->portHandle);
    tty->portHandle = INVALID_HANDLE_VALUE;
    CloseHandle(boxEnd);
    DestroyTestMainWindow(window);
    return ok;
}
