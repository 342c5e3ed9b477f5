// flashdrive: runs the real TesselFlash.exe against the box simulator as a
// technician would, for the benchmark and the robustness run. Runs under
// tests/with-ports.sh (the simulator on COM7, a pty pair on COM5/COM6).
//   flashdrive bench                 paced and unpaced uploads of 64 KiB, 512 KiB, 2 MiB
//   flashdrive image SIZE            writes a valid image and prints its path
//   flashdrive writecost             the cost of one WritePort call per byte on a pty
//   flashdrive robust RUNS SEED [FAULT]  uploads in a row with faults injected at
//                                    random (or only FAULT, by its name below, or "each")
#include "tests/app_driver.h"
#include "tests/upload_harness.h"
#include "serial/serial.h"
#include "app/ids.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#define LINE_RATE        11520.0
#define BLOCK_BYTES      1024
#define BLOCK_LINE_BYTES 1030.0   // 1024 data + 4 checksum out, 2 acks back
#define HOLD_MS          2500     // the completion page holds two seconds
#define QUIET_MS         15000    // longer than any of the program's watchdogs

static double readNumber(const std::string &log, const char *key)
{
    size_t at = log.rfind(key);
    return at == std::string::npos ? -1.0 : atof(log.c_str() + at + strlen(key));
}

static std::string verdictOf(const std::string &log)
{
    size_t at = log.rfind("verdict=");
    if (at == std::string::npos)
        return "none";
    size_t end = log.find_first_of(" \r\n", at);
    return log.substr(at + 8, end - at - 8);
}

static double fileTimeSeconds(const FILETIME &t)
{
    return (double(t.dwHighDateTime) * 4294967296.0 + double(t.dwLowDateTime)) / 1e7;
}

struct Usage {
    double peakMiB;
    double cpuSeconds;
    double residentMiB;
    int descriptors;   // the Linux process's open files: ports, pipes, sockets
};

// The program's Linux process, seen through Wine's Z: drive: Windows gives
// no handle count or working set of another process here.
static std::string linuxProcessFolder(void)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return "";
    std::string found;
    do {
        if (entry.cFileName[0] < '0' || entry.cFileName[0] > '9')
            continue;
        std::string folder = std::string("Z:\\proc\\") + entry.cFileName;
        std::string command = ReadTextFile(folder + "\\cmdline");
        if (command.find("TesselFlash.exe") != std::string::npos && command.find("winedbg") == std::string::npos)
            found = folder;
    } while (found.empty() && FindNextFileA(search, &entry));
    FindClose(search);
    return found;
}

static int countEntries(const std::string &folder)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    do {
        if (entry.cFileName[0] != '.')
            n++;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return n;
}

static double statusMiB(const std::string &status, const char *key)
{
    double kiB = readNumber(status, key);
    return kiB < 0 ? -1.0 : kiB / 1024.0;
}

static Usage usageOf(App &app)
{
    Usage usage = { -1, -1, -1, -1 };
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(app.process.hProcess, &created, &ended, &kernel, &user))
        usage.cpuSeconds = fileTimeSeconds(kernel) + fileTimeSeconds(user);
    std::string folder = linuxProcessFolder();
    if (!folder.empty()) {
        std::string status = ReadTextFile(folder + "\\status");
        usage.peakMiB = statusMiB(status, "VmHWM:");
        usage.residentMiB = statusMiB(status, "VmRSS:");
        usage.descriptors = countEntries(folder + "\\fd");
    }
    return usage;
}

static std::string imageFor(uint32_t size, Bytes *contents)
{
    ImageSpec spec = ValidImage(size, 0);
    spec.word9 = size;
    char name[64];
    snprintf(name, sizeof name, "drive-%u.bin", unsigned(size));
    return WriteImage(name, spec, contents);
}

static int receivedIntact(const Bytes &image)
{
    return ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image;
}

static DWORD closeProgram(App &app)
{
    HWND main = MainWindowOf(app);
    if (main)
        PostMessageA(main, WM_CLOSE, 0, 0);
    return WaitExit(app, 15000);
}

// ------------------------------------------------------------------ bench

static int benchOne(uint32_t size, int paced)
{
    Bytes image;
    DrivePlan plan;
    plan.image = imageFor(size, &image);
    plan.portIndex = BoxPortIndex();
    StartBox(paced ? "--pace" : "");
    App app;
    if (!Launch(app)) {
        printf("cannot start the program\n");
        return 0;
    }
    DriveResult result = DriveWizard(app, plan);
    WaitBoxLog("text=boot", 10000);
    Usage usage = usageOf(app);
    std::string log = BoxLog();
    closeProgram(app);
    double seconds = readNumber(log, "data_seconds=");
    double rate = seconds > 0 ? size / seconds : 0;
    double ceiling = LINE_RATE * BLOCK_BYTES / BLOCK_LINE_BYTES;
    int ok = result.end == PAGE_COMPLETED && verdictOf(log) == "complete" && receivedIntact(image);
    printf("%-8s %8u  %8.2f s  %8.0f B/s  %6.2f %%  %6.2f %%  %7.1f MiB  %6.2f s  %s\n",
           paced ? "paced" : "unpaced", unsigned(size), seconds, rate, 100.0 * rate / LINE_RATE,
           100.0 * rate / ceiling, usage.peakMiB, usage.cpuSeconds, ok ? "identical" : "FAILED");
    fflush(stdout);
    return ok;
}

static int runBench(void)
{
    static const uint32_t sizes[] = { 64 * 1024, 512 * 1024, 2 * 1024 * 1024 };
    printf("line     bytes       go-ahead to last ack   payload   of line   of ceiling  peak WS   CPU  image\n");
    int ok = 1;
    for (int paced = 1; paced >= 0; paced--)
        for (uint32_t size : sizes)
            ok &= benchOne(size, paced);
    StopBox();
    return ok;
}

// -------------------------------------------------------------- writecost

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

// Times WritePort itself on the pty pair: one call a byte against one call a block.
static int runWriteCost(void)
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
    static uint8_t block[BLOCK_BYTES + 4];
    const int bytes = 256 * 1024;
    struct { const char *what; int size; } rows[] = { { "one byte a call", 1 }, { "1028 bytes a call", 1028 } };
    int ok = 1;
    for (auto row : rows) {
        LARGE_INTEGER start, end, frequency;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        int calls = bytes / row.size;
        for (int i = 0; i < calls; i++)
            ok &= WritePort(window, block, row.size);
        QueryPerformanceCounter(&end);
        double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
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

// ----------------------------------------------------------------- robust

enum Fault {
    FAULT_NONE, FAULT_DROP_ACK, FAULT_DROP_ALL_ACKS, FAULT_REJECT_F0, FAULT_REJECT_FE, FAULT_STRAY,
    FAULT_KILL, FAULT_PTY_GONE, FAULT_COUNT
};
static const char *const FAULT_NAMES[FAULT_COUNT] = {
    "none", "lost-ack", "no-acks", "reject-F0", "reject-FE", "stray-bytes", "box-killed", "pty-removed"
};

static uint32_t seed;

static uint32_t randomBelow(uint32_t n)
{
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
}

struct Tally {
    int runs, faults[FAULT_COUNT], completions, identical, wrongSuccesses, failurePages, hangs, reconnects;
    int missed;   // a run that should have completed, or no way back after the pty came back
};

// With the box's pty gone the wizard's new attempt cannot open the port and,
// after a failure page, says nothing: the program waits with the port closed.
// The technician plugs the box back in and presses Shift+PageUp.
static int reopenWithoutPort(App &app, const DrivePlan &plan, Tally *tally)
{
    DrivePlan toPort = plan;
    toPort.onPercent = nullptr;
    toPort.quietMs = 5000;
    DriveResult quiet = DriveWizard(app, toPort);
    size_t showing = VisibleDialogs(app.process.dwProcessId).size();
    if (quiet.end != PAGE_OTHER || !MainWindowOf(app) || showing) {
        printf("         without the port: ended on page %d after %d pages, %u dialogs showing\n", int(quiet.end),
               quiet.pages, unsigned(showing));
        return 0;
    }
    tally->reconnects++;
    StartBox("");
    PostMessageA(MainWindowOf(app), WM_COMMAND, CMD_CONNECT, 0);
    return WaitPage(app, PAGE_PORT, 5000) != nullptr;
}

// A completion or a failure page is the only right end of a run; a completion
// only when the box holds the whole image intact; a fault never completes
// unless it is one the protocol rides out (stray bytes). onlyFault names one
// fault for every run, or "each" for every fault in turn.
static int runRobust(int runs, uint32_t firstSeed, const char *onlyFault)
{
    int only = -1;
    int each = onlyFault && strcmp(onlyFault, "each") == 0;
    for (int f = 0; onlyFault && f < FAULT_COUNT; f++)
        if (strcmp(onlyFault, FAULT_NAMES[f]) == 0)
            only = f;
    seed = firstSeed;
    Tally tally = {};
    App app;
    StartBox("");
    if (!Launch(app))
        return 0;
    Usage first = { 0, 0, 0, 0 };
    for (int run = 1; run <= runs; run++) {
        Fault fault = run == 1 ? FAULT_NONE : only >= 0 ? Fault(only)
                    : each ? Fault((run - 1) % FAULT_COUNT) : Fault(randomBelow(FAULT_COUNT));
        int shouldComplete = fault == FAULT_NONE || fault == FAULT_STRAY;
        uint32_t size = 8 * 1024 + randomBelow(24 * 1024);
        int blocks = int((size + BLOCK_BYTES - 1) / BLOCK_BYTES);
        int block = 1 + int(randomBelow(uint32_t(blocks)));
        // Paced like a real line, so that a fault struck at 30 % lands mid-transfer:
        // unpaced, a block write takes microseconds and the image is through first.
        char options[96] = "--pace";
        switch (fault) {
        case FAULT_DROP_ACK: snprintf(options, sizeof options, "--pace --drop-ack %d", block); break;
        case FAULT_DROP_ALL_ACKS: snprintf(options, sizeof options, "--pace --drop-all-acks %d", block); break;
        case FAULT_REJECT_F0: snprintf(options, sizeof options, "--pace --reject %d --reject-byte F0", block); break;
        case FAULT_REJECT_FE: snprintf(options, sizeof options, "--pace --reject %d --reject-byte FE", block); break;
        case FAULT_STRAY: snprintf(options, sizeof options, "--pace --stray %d", block); break;
        default: break;
        }
        tally.runs++;
        tally.faults[fault]++;
        StartBox(options);

        Bytes image;
        DrivePlan plan;
        plan.image = imageFor(size, &image);
        plan.portIndex = BoxPortIndex();
        int struck = 0;
        if (fault == FAULT_KILL || fault == FAULT_PTY_GONE)
            plan.onPercent = [&](int percent) {
                if (struck || percent < 30)
                    return;
                struck = 1;
                StopBox();
                if (fault == FAULT_KILL)
                    StartBox("");
            };
        plan.quietMs = QUIET_MS;
        DriveResult result = DriveWizard(app, plan);
        std::string log = BoxLog();
        int intact = verdictOf(log) == "complete" && receivedIntact(image);
        const char *outcome = "hang";
        if (result.end == PAGE_COMPLETED) {
            tally.completions++;
            tally.identical += intact;
            if (!intact || !shouldComplete)
                tally.wrongSuccesses++;
            outcome = intact ? "completed, identical" : "COMPLETED WITHOUT THE IMAGE";
            WaitBoxLog("text=boot", 10000);
            Sleep(HOLD_MS);
            PostMessageA(MainWindowOf(app), WM_COMMAND, CMD_CONNECT, 0);   // the next box
        } else if (result.end != PAGE_OTHER) {
            tally.failurePages++;
            tally.missed += shouldComplete;
            outcome = result.end == PAGE_FAIL_MAINS ? "failure page (mains)"
                    : result.end == PAGE_COMM_FAILED ? "failure page (no prompt)"
                    : result.end == PAGE_OPEN_FAILED ? "failure page (open)" : "failure page";
        } else {
            tally.hangs++;
        }
        if (fault == FAULT_PTY_GONE && result.end != PAGE_OTHER && !reopenWithoutPort(app, plan, &tally)) {
            outcome = "NO WAY BACK WITHOUT THE PORT";
            tally.missed++;
        }
        Usage now = usageOf(app);
        printf("run %3d  %-12s %6u bytes  %-28s  rss %5.1f MiB  files %d\n", run, FAULT_NAMES[fault],
               unsigned(size), outcome, now.residentMiB, now.descriptors);
        fflush(stdout);
        if (result.end == PAGE_OTHER)
            break;   // nothing more can be driven
        if (run == 1)
            first = now;
    }
    Usage last = usageOf(app);
    DWORD exitCode = closeProgram(app);
    StopBox();
    printf("runs %d  completions %d  identical %d  failure pages %d  reconnects %d  missed %d  hangs %d  "
           "wrong successes %d  exit code %lu\n", tally.runs, tally.completions, tally.identical, tally.failurePages,
           tally.reconnects, tally.missed, tally.hangs, tally.wrongSuccesses, exitCode);
    printf("faults:");
    for (int f = 0; f < FAULT_COUNT; f++)
        printf("  %s %d", FAULT_NAMES[f], tally.faults[f]);
    printf("\nafter run 1: rss %.1f MiB, %d open files;  at the end: rss %.1f MiB (peak %.1f), %d open files\n",
           first.residentMiB, first.descriptors, last.residentMiB, last.peakMiB, last.descriptors);
    return tally.wrongSuccesses == 0 && tally.hangs == 0 && tally.missed == 0 && exitCode == 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "bench") == 0)
        return runBench() ? 0 : 1;
    if (argc >= 3 && strcmp(argv[1], "image") == 0) {
        printf("%s\n", imageFor(uint32_t(strtoul(argv[2], nullptr, 0)), nullptr).c_str());
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "writecost") == 0)
        return runWriteCost() ? 0 : 1;
    if (argc >= 3 && strcmp(argv[1], "robust") == 0)
        return runRobust(atoi(argv[2]), argc >= 4 ? uint32_t(strtoul(argv[3], nullptr, 0)) : 1u,
                         argc >= 5 ? argv[4] : nullptr) ? 0 : 1;
    fprintf(stderr, "usage: flashdrive bench | writecost | robust RUNS [SEED [FAULT]] | image SIZE\n");
    return 2;
}
