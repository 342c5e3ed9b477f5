// robustlink: the robustness run without the GUI, for a thousand uploads and
// more. The real serial code, engine, tick and pages run against the box
// simulator on a pty (unpaced); a stand-in main window reacts to the
// engine's commands as the program's main window does, but opens the image
// by path and ticks every 25 ms instead of 250 ms, so every watchdog of the
// program runs out ten times sooner (the box's own time-outs stay as they
// are). Every run restarts the box with a fault drawn by seed, reopens the
// port through the answered wizard and is judged: a completion (completion
// page, box verdict complete, its copy identical) or exactly one failure
// report; anything else is counted as wrong.
//   robustlink RUNS [SEED [FAULTS]]     under tests/with-ports.sh; FAULTS: a
//                                       comma-separated list of names, or "each"
// With ROBUSTLINK_MINUTES set no run begins after that many minutes, and the
// summary says how many of the runs asked for were made.
#include "tests/port_harness.h"
#include "tests/upload_harness.h"
#include "tests/app_driver.h"
#include "tools/bench/runsupport.h"
#include "tools/bench/procusage.h"
#include "upload/upload.h"
#include "serial/serial.h"
#include "app/app.h"
#include "app/ids.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#define TICK_MS          25
#define PROGRAM_TICK_MS  250
#define TIMER_ID         1
#define REST_TICKS       8                   // after a report: every watchdog idle this long, no second report can come
#define SETTLE_TICKS     (2 * TICKS_START)   // ...or at most this long after the report
#define HANG_MS          20000               // nothing by then: the run hangs
#define PAGE_END_MS      10000               // a completion page ends this soon after its OK
#define IMAGE_MIN_BYTES  2048
#define IMAGE_MAX_BYTES  8192
#define LATE_ACK_SPAN_MS 10   // a late ack lands within a tick of its watchdog, give or take this
#define RETRY_LOW_TICKS  4
#define RETRY_HIGH_TICKS 50                  // typing takes 10 ticks, the engine's pause before its completion page 40
#define PROGRESS_EVERY   50

enum LinkFault {
    LINK_NONE, LINK_DROP_ACK, LINK_DROP_ALL_ACKS, LINK_REJECT_F0, LINK_REJECT_FE, LINK_STRAY, LINK_LATE_ACK,
    LINK_HANDSHAKE_FIRST, LINK_QUICK_RETRY, LINK_FAULT_COUNT
};
static const char *const LINK_FAULT_NAMES[LINK_FAULT_COUNT] = {
    "none", "lost-ack", "no-acks", "reject-F0", "reject-FE", "stray-bytes", "late-ack", "no-image-handshake",
    "quick-retry"
};

struct LinkPlan {
    LinkFault fault;
    uint32_t runSeed;
    uint32_t size;
    int block;
    int lateMs;
    int retryTicks;
    char options[96];
};

struct LinkTally {
    int runs, faults[LINK_FAULT_COUNT], completedBy[LINK_FAULT_COUNT], failedBy[LINK_FAULT_COUNT];
    int completions, identical, failureRuns, wrongSuccesses, doubleReports, staleReports, leftOpen, hangs, missed;
    int boxCompleteButFailed, engineChose, rebootsMissing, afterEnd, staleCompletions, retries;
};

// ------------------------------------------------ the stand-in main window

static HWND window;
static int ticks;                         // timer ticks of the stand-in
static int sequenceTick = -1;             // the tick the typed sequence began, this run
static int restStreak;                    // ticks in a row with every watchdog idle
static LARGE_INTEGER lastTickAt;
static double steadyTickMs = TICK_MS;     // the tick's period while messages flow
static DWORD runStart;
static int hangGuardFired;
static std::atomic<int> failRetries{ 0 };
static std::atomic<int> noResponses{ 0 };
static std::atomic<int> ownReports{ 0 };    // reports after this attempt's connect page
static std::atomic<int> staleReports{ 0 };  // reports before it: an earlier attempt's
static std::atomic<int> reportTick{ -1 };   // the tick of the run's first own report
static std::atomic<int> progressShown{ 0 };
static std::atomic<int> imageRefused{ 0 };
static std::atomic<int> monitorAfterEnd{ 0 };   // a selection begun after the run's end
// Set by the page answerer.
static std::atomic<int> connectShown{ 0 };
static std::atomic<int> completionPages{ 0 };
static std::atomic<int> staleCompletions{ 0 };   // completion pages before the attempt's connect page
static std::atomic<int> fileDialogs{ 0 };
static std::atomic<int> warnings{ 0 };

static std::mutex chosenLock;
static std::string chosenPath;   // the run's image: opened by path, and given to the file dialog

static std::string runImagePath(void)
{
    std::lock_guard<std::mutex> hold(chosenLock);
    return chosenPath;
}

static int reportCount(void)
{
    return ownReports;
}

// The tick as it comes while the thread takes its messages (a timer is
// never early, often late); a gap while the thread waited elsewhere (the
// wizard closing the port) is not a tick's period.
static void measureTick(void)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    double ms = 1000.0 * double(now.QuadPart - lastTickAt.QuadPart) / double(frequency.QuadPart);
    if (ticks > 0 && ms < 2.0 * TICK_MS)
        steadyTickMs += (ms - steadyTickMs) / 64.0;
    lastTickAt = now;
}

static int watchdogsIdle(void)
{
    return upload.ackWatch1 <= 0 && upload.ackWatch2 <= 0 && upload.startWatch <= 0 && upload.promptWatch <= 0;
}

// As the main window ends it; the page may have just gone, so a failed post
// is no fault.
static void endConnectPage(void)
{
    HWND page = connectDialog;
    if (page)
        PostMessageA(page, WM_COMMAND, IDOK, 0);
}

// As the main window's selection, with the image opened by path: nothing
// when the engine holds the image (it is choosing for a box that asked first).
static void reactMonitorFound(HWND self)
{
    if (completionPages > 0 || reportCount() > 0)
        monitorAfterEnd++;   // the run was over: the program should be waiting for the next attempt
    endConnectPage();
    if (!ClaimImage(IMAGE_CHOOSING))
        return;
    StopSender();
    std::string path = runImagePath();
    strncpy(imagePath, path.c_str(), sizeof imagePath - 1);
    int result = OpenFirmwareImage(self);
    ReleaseImage(IMAGE_CHOOSING);
    if (result != 0) {
        imageRefused++;
        return;
    }
    if (!closeRequested) {
        StartCommandSequence();
        sequenceTick = ticks;
    }
}

static void noteReport(void)
{
    if (!connectShown) {
        staleReports++;
        return;
    }
    ownReports++;
    int none = -1;
    reportTick.compare_exchange_strong(none, ticks);
}

// Ends a connect page that nothing ended in time, so that the run can be
// judged (as a hang) instead of waiting inside OpenPort for ever.
static void guardHang(void)
{
    if (hangGuardFired || GetTickCount() - runStart < HANG_MS || !connectDialog)
        return;
    hangGuardFired = 1;
    endConnectPage();
}

static LRESULT CALLBACK standInMain(HWND self, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER) {
        measureTick();
        ticks++;
        UploadTimerTick(self);
        restStreak = watchdogsIdle() ? restStreak + 1 : 0;
        guardHang();
        return 1;
    }
    if (message != WM_COMMAND)
        return 0;
    switch (LOWORD(wParam)) {
    case CMD_MONITOR_FOUND:
        reactMonitorFound(self);
        break;
    case CMD_SHOW_PROGRESS:
        progressShown++;
        endConnectPage();   // as the main window: a box that asked for data first has answered
        break;
    case CMD_FAIL_RETRY:
        noteReport();
        failRetries++;
        upload.bannerAnswered = 0;
        break;
    case CMD_NO_RESPONSE:
        noteReport();
        noResponses++;
        endConnectPage();
        ClosePort(self);
        break;
    }
    return 1;
}

// ------------------------------------------------------- the page answerer

static std::set<HWND> filesAnswered;   // the answerer thread's own

// The wizard as a user answers it; the box is powered on at the connect
// page; the engine's own file dialog gets the run's image and its warning
// Continue (id 2).
static PageAnswer answerPage(PageKind kind, HWND dialog)
{
    static HWND poweredFor;
    switch (kind) {
    case PAGE_PORT:
        return { 3, BoxPortIndex() };
    case PAGE_CABLE:
    case PAGE_DISCONNECT:
    case PAGE_FAIL_MAINS:
    case PAGE_COMM_FAILED:
    case PAGE_OPEN_FAILED:
        return { IDOK, -1 };
    case PAGE_COMPLETED:
        if (connectShown)
            completionPages++;
        else
            staleCompletions++;   // e.g. the upload a new attempt left behind
        return { IDOK, -1 };
    case PAGE_WARNING:
        warnings++;
        return { IDCANCEL, -1 };
    case PAGE_FILE:
        if (!filesAnswered.count(dialog)) {
            filesAnswered.insert(dialog);
            fileDialogs++;
            ChooseFile(dialog, runImagePath());
        }
        return { 0, -1 };
    case PAGE_CONNECT:
        if (poweredFor != dialog) {   // once a page, however often it is asked
            poweredFor = dialog;
            connectShown = 1;
            PowerOnBox();
        }
        return { 0, -1 };   // the stand-in ends it
    default:
        return { 0, -1 };
    }
}

// ------------------------------------------------------------------ runs

static void resetRunCounters(void)
{
    failRetries = 0;
    noResponses = 0;
    ownReports = 0;
    reportTick = -1;
    staleReports = 0;
    progressShown = 0;
    imageRefused = 0;
    monitorAfterEnd = 0;
    connectShown = 0;
    completionPages = 0;
    staleCompletions = 0;
    fileDialogs = 0;
    warnings = 0;
    sequenceTick = -1;
    hangGuardFired = 0;
    runStart = GetTickCount();
}

// Run 1 is always a clean upload; then the listed faults in turn (by "each"
// the first of them is "none" again), or one drawn at random.
static LinkPlan planRun(int run, uint32_t seed, const std::vector<int> &faults, int each)
{
    LinkPlan plan = {};
    plan.runSeed = MixSeed(seed, uint32_t(run));
    SeedRandom(plan.runSeed);
    plan.fault = run == 1 ? LINK_NONE : faults.empty() ? LinkFault(RandomBelow(LINK_FAULT_COUNT))
               : LinkFault(faults[size_t(run - (each ? 1 : 2)) % faults.size()]);
    plan.size = uint32_t(RandomBetween(IMAGE_MIN_BYTES, IMAGE_MAX_BYTES));
    int blocks = int((plan.size + BLOCK_SIZE - 1) / BLOCK_SIZE);
    plan.block = RandomBetween(1, blocks);
    // The ack watchdog runs out between 19 and 20 ticks after it is armed,
    // ticks as they come (the timer runs a little slow); the ack then takes
    // a little longer to be read than the tick.
    double tick = steadyTickMs;
    plan.lateMs = RandomBetween(int((TICKS_ACK - 1) * tick) - LATE_ACK_SPAN_MS, int(TICKS_ACK * tick) + LATE_ACK_SPAN_MS);
    plan.retryTicks = RandomBetween(RETRY_LOW_TICKS, RETRY_HIGH_TICKS);
    snprintf(plan.options, sizeof plan.options, "%s",
             BoxFaultOptions(LINK_FAULT_NAMES[plan.fault], plan.block, plan.lateMs).c_str());
    return plan;
}

static int shouldComplete(LinkFault fault)
{
    return fault == LINK_NONE || fault == LINK_STRAY || fault == LINK_QUICK_RETRY;
}

static int boxLogHas(const char *needle)
{
    return BoxLog().find(needle) != std::string::npos;
}

static std::string kindsOf(const std::vector<HWND> &dialogs)
{
    static const char *const names[] = { "other", "port", "cable", "disconnect", "connect", "completed", "warning",
                                         "welcome", "open-failed", "comm-failed", "fail-mains", "invalid-file",
                                         "progress", "file", "about" };
    std::string text;
    for (HWND d : dialogs) {
        int kind = PageKindOf(d);
        text += std::string(text.empty() ? "" : ",") + (kind >= 0 && kind <= PAGE_ABOUT ? names[kind] : "?");
    }
    return text;
}

// One run from the box's start to its judgement; prints a line for every
// run that is not plainly right. Returns 0 when nothing more can be run.
static int runOnce(int run, const LinkPlan &plan, LinkTally *tally)
{
    char name[32];
    snprintf(name, sizeof name, "link-%d.bin", run % 4);
    Bytes image;
    std::string path = WriteRunImage(name, plan.size, plan.runSeed, &image);
    if (path.empty())
        return 0;
    {
        std::lock_guard<std::mutex> hold(chosenLock);
        chosenPath = path;
    }
    // A box that asks for data first finds no image open, as after a fresh start.
    if (plan.fault == LINK_HANDSHAKE_FIRST && upload.imageUser == IMAGE_FREE) {
        ClosePort(window);
        CloseFirmwareImage();
    }
    tally->runs++;
    tally->faults[plan.fault]++;
    resetRunCounters();   // a report from here on, before the connect page, is a stale one
    StartBox(plan.options);
    StartAnsweringPages(answerPage);

    int opened = OpenPort(window);
    int retried = 0;
    if (plan.fault == LINK_QUICK_RETRY) {
        // A new attempt a few ticks after the typed sequence began, on a fresh box.
        PumpUntil([&] { return sequenceTick >= 0 && ticks - sequenceTick >= plan.retryTicks; }, HANG_MS);
        if (sequenceTick >= 0 && reportCount() == 0 && completionPages == 0) {
            retried = 1;
            connectShown = 0;   // from here on the old attempt's pages are stale
            StartBox("");
            opened = OpenPort(window);
        }
    }

    // The run's end: the first report and then long enough for a second one
    // (until no watchdog is armed, as the failure page would stay up for a
    // while), or the completion page and its end.
    int ended = PumpUntil([&] { return reportCount() > 0 || completionPages > 0 || hangGuardFired; }, HANG_MS);
    if (ended && reportCount() > 0 && completionPages == 0) {
        restStreak = 0;
        PumpUntil([&] { return restStreak >= REST_TICKS || ticks - reportTick >= SETTLE_TICKS || completionPages > 0; },
                  HANG_MS);
    }
    if (completionPages > 0) {
        PumpUntil([] {
            for (HWND page : VisibleDialogs(0))
                if (PageKindOf(page) == PAGE_COMPLETED)
                    return false;
            return true;
        }, PAGE_END_MS);
        if (!WaitBoxLog("text=boot", 2000))
            tally->rebootsMissing++;
        restStreak = 0;
        PumpUntil([] { return restStreak >= REST_TICKS; }, SETTLE_TICKS * TICK_MS);
    }
    int hung = hangGuardFired || (reportCount() == 0 && completionPages == 0);
    PumpUntil([] { return false; }, 60);   // pages just ended are gone by now
    std::vector<HWND> showing = VisibleDialogs(0);
    StopAnsweringPages();

    // The judgement.
    int reports = reportCount();
    int completed = completionPages > 0;
    int boxComplete = boxLogHas("verdict=complete");
    int intact = boxComplete && ReceivedEquals(image);
    int wrong = (completed && (!boxComplete || !intact)) || (boxComplete && !intact) || (completed && reports > 0);
    int doubled = reports >= 2;
    tally->engineChose += fileDialogs;
    const char *outcome = "";
    if (hung) {
        tally->hangs++;
        outcome = "HANG";
    } else if (wrong) {
        tally->wrongSuccesses++;
        outcome = "WRONG SUCCESS";
    } else if (completed) {
        outcome = "completed, identical";
    } else {
        outcome = noResponses ? "failure (no prompt)" : "failure (retry)";
    }
    if (completed) {
        tally->completions++;
        tally->identical += intact;
        tally->completedBy[plan.fault]++;
    }
    if (reports > 0) {
        tally->failureRuns++;
        tally->failedBy[plan.fault]++;
        tally->boxCompleteButFailed += boxComplete && !completed;
    }
    tally->doubleReports += doubled + staleReports;   // a stale report is a second one of an earlier attempt
    tally->staleReports += staleReports;
    tally->leftOpen += int(showing.size());
    tally->afterEnd += monitorAfterEnd;
    tally->staleCompletions += staleCompletions;
    tally->retries += retried;
    int missed = shouldComplete(plan.fault) && !completed && !hung;
    tally->missed += missed;
    if (hung || wrong || doubled || staleReports || !showing.empty() || missed || !opened || imageRefused ||
        monitorAfterEnd) {
        printf("run %4d  %-18s %5u bytes  block %d  run seed 0x%08x  %s  reports %d (retry %d, no prompt %d; "
               "stale %d)  completion pages %d  verdict %s%s  file dialogs %d  %s%s%s%s\n",
               run, LINK_FAULT_NAMES[plan.fault], unsigned(plan.size), plan.block, plan.runSeed, outcome, reports,
               int(failRetries), int(noResponses), int(staleReports), int(completionPages), VerdictOf(BoxLog()).c_str(),
               boxComplete && !intact ? " (DIFFERENT IMAGE)" : "", int(fileDialogs), retried ? "retried " : "",
               showing.empty() ? "" : ("pages left open: " + kindsOf(showing)).c_str(), opened ? "" : " port not opened",
               monitorAfterEnd ? " MONITOR FOUND AFTER THE END" : "");
    }
    // Pages left open are ended so that the next run starts from the main window.
    for (HWND page : showing)
        Press(page, PageKindOf(page) == PAGE_WARNING ? IDCANCEL : PageKindOf(page) == PAGE_PORT ? 3 : IDOK);
    if (hung) {
        printf("run %4d hangs: upload state %d, image user %d, connect page %p; nothing more is run\n",
               run, int(upload.uploadState), int(upload.imageUser),
               static_cast<void *>(connectDialog));
        return 0;
    }
    return 1;
}

static void printHold(const char *when, int run, const ProcessHold &hold)
{
    printf("%s run %4d: rss %.1f MiB (peak %.1f MiB), %d open descriptors\n", when, run, hold.residentMiB,
           hold.peakMiB, hold.descriptors);
}

static int runLink(int runs, uint32_t seed, const char *onlyFault)
{
    int each = onlyFault && strcmp(onlyFault, "each") == 0;
    std::vector<int> faults;
    if (onlyFault) {
        faults = ParseFaultList(onlyFault, LINK_FAULT_NAMES, LINK_FAULT_COUNT);
        if (faults.empty()) {
            fprintf(stderr, "unknown fault in %s\n", onlyFault);
            return 0;
        }
    }
    if (BoxDirectory().empty()) {
        fprintf(stderr, "robustlink runs under tests/with-ports.sh (no box folder)\n");
        return 0;
    }
    window = CreateTestMainWindow(standInMain);
    if (!window) {
        fprintf(stderr, "cannot create the stand-in main window: error %lu\n", GetLastError());
        return 0;
    }
    if (!SetTimer(window, TIMER_ID, TICK_MS, nullptr)) {
        fprintf(stderr, "cannot start the stand-in's timer: error %lu\n", GetLastError());
        return 0;
    }
    printf("robustlink: %d runs, seed %u; the stand-in ticks every %d ms instead of the program's %d ms, so the "
           "watchdogs run out %d times sooner (ack %d ms, start and prompt %d ms); the box's own time-outs are "
           "not scaled; unpaced box, images %d..%d bytes\n",
           runs, unsigned(seed), TICK_MS, PROGRAM_TICK_MS, PROGRAM_TICK_MS / TICK_MS, TICKS_ACK * TICK_MS,
           TICKS_START * TICK_MS, IMAGE_MIN_BYTES, IMAGE_MAX_BYTES);
    // This program's own Linux process: Z:\proc\self would be the Wine
    // server's, which opens files on its clients' behalf.
    std::string self = ProcessFolder("robustlink.exe");
    if (self.empty())
        fprintf(stderr, "cannot find this program's Linux process: no memory figures\n");
    LinkTally tally = {};
    ProcessHold holds[4] = {};
    const int marks[4] = { 1, 10, 100, 1000 };
    DWORD started = GetTickCount();
    DWORD lastMark = started;
    const char *minutes = getenv("ROBUSTLINK_MINUTES");
    DWORD budgetMs = minutes ? DWORD(atof(minutes) * 60000.0) : 0;
    int done = 0, outOfTime = 0;
    for (int run = 1; run <= runs; run++) {
        if (budgetMs && GetTickCount() - started >= budgetMs) {
            outOfTime = 1;
            printf("time limit of %s minutes reached: no more runs begin\n", minutes);
            break;
        }
        LinkPlan plan = planRun(run, seed, faults, each);
        int goOn = runOnce(run, plan, &tally);
        done = run;
        for (int m = 0; m < 4; m++)
            if (run == marks[m])
                holds[m] = HoldOf(self);
        if (run % PROGRESS_EVERY == 0 || !goOn) {
            DWORD now = GetTickCount();
            ProcessHold hold = HoldOf(self);
            printf("after %4d runs: %d completed, %d failed, %d wrong, %d double (%d stale), %d left open, %d hangs, "
                   "%d missed  rss %.1f MiB  %d descriptors  %.1f s (last %d: %.2f s a run)\n",
                   run, tally.completions, tally.failureRuns, tally.wrongSuccesses, tally.doubleReports,
                   tally.staleReports, tally.leftOpen + tally.afterEnd, tally.hangs, tally.missed, hold.residentMiB, hold.descriptors,
                   (now - started) / 1000.0, PROGRESS_EVERY, (now - lastMark) / 1000.0 / PROGRESS_EVERY);
            lastMark = now;
        }
        if (!goOn)
            break;
    }
    double seconds = (GetTickCount() - started) / 1000.0;
    StopAnsweringPages();
    KillTimer(window, TIMER_ID);
    ClosePort(window);
    StopBox();

    printf("\nrobustlink summary (seed %u, %d of %d runs, %.0f s, %.2f s a run, tick %d ms, %.1f ms as it came)\n",
           unsigned(seed), done, runs, seconds, done ? seconds / done : 0.0, TICK_MS, steadyTickMs);
    printf("runs %d  completions %d  identical images %d  failure runs %d  wrong successes %d  "
           "double failure reports %d (stale %d)  pages left open %d (%d showing at the next run, %d selections "
           "begun after the end)  hangs %d  missed completions %d\n",
           tally.runs, tally.completions, tally.identical, tally.failureRuns, tally.wrongSuccesses,
           tally.doubleReports, tally.staleReports, tally.leftOpen + tally.afterEnd, tally.leftOpen, tally.afterEnd,
           tally.hangs, tally.missed);
    printf("box verdict complete but failure reported %d   engine's own file dialogs %d   reboot not typed %d   "
           "new attempts made %d   the abandoned attempt's completion page %d\n",
           tally.boxCompleteButFailed, tally.engineChose, tally.rebootsMissing, tally.retries, tally.staleCompletions);
    printf("fault                runs  completed  failed\n");
    for (int f = 0; f < LINK_FAULT_COUNT; f++)
        printf("%-18s %6d  %9d  %6d\n", LINK_FAULT_NAMES[f], tally.faults[f], tally.completedBy[f], tally.failedBy[f]);
    for (int m = 0; m < 4; m++)
        if (done >= marks[m])
            printHold("at", marks[m], holds[m]);
    DestroyTestMainWindow(window);
    return tally.wrongSuccesses == 0 && tally.doubleReports == 0 && tally.staleReports == 0 && tally.leftOpen == 0 &&
           tally.hangs == 0 && tally.missed == 0 && tally.afterEnd == 0 && (done == runs || outOfTime);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: robustlink RUNS [SEED [FAULT,...|each]]   (under tests/with-ports.sh)\n");
        return 2;
    }
    int ok = runLink(atoi(argv[1]), argc >= 3 ? uint32_t(strtoul(argv[2], nullptr, 0)) : 1u,
                     argc >= 4 ? argv[3] : nullptr);
    return ok ? 0 : 1;
}
