// flashdrive: runs the real TesselFlash.exe against the box simulator as a
// technician would, for the robustness run, and writes images for the run
// command. Runs under tests/with-ports.sh (the simulator on COM7).
//   flashdrive image SIZE            writes a valid image and prints its path
//   flashdrive robust RUNS SEED [FAULTS] uploads in a row by one running program with
//                                    faults injected at random (or FAULTS in turn: names
//                                    from below, comma-separated, or "each" for all)
#include "tests/app_driver.h"
#include "tests/upload_harness.h"
#include "tools/bench/runsupport.h"
#include "tools/bench/procusage.h"
#include "serial/serial.h"
#include "app/ids.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#define BLOCK_BYTES      1024
#define QUIET_MS         15000    // longer than any of the program's watchdogs: nothing new by then is a hang

static std::string imageFor(uint32_t size, Bytes *contents)
{
    ImageSpec spec = ValidImage(size, 0);
    spec.word9 = size;
    char name[64];
    snprintf(name, sizeof name, "drive-%u.bin", unsigned(size));
    return WriteImage(name, spec, contents);
}

static DWORD closeProgram(App &app)
{
    HWND main = MainWindowOf(app);
    if (main)
        PostMessageA(main, WM_CLOSE, 0, 0);
    return WaitExit(app, 15000);
}

// ----------------------------------------------------------------- robust
//
// One TesselFlash.exe runs every upload; each run restarts the box with one
// fault and walks the program's pages until the run is over: its end page
// (the completion page or one failure page) is answered and the next
// wizard's port page shows. Counted against each run: completions and
// whether the box holds the image last given to a file dialog, failure
// pages (a second one is a double report; one before the attempt's connect
// page comes from an earlier attempt), pages left open (still showing when
// the next run starts, or opened after the run's end other than a failure
// page and the next port page), and hangs (nothing new for QUIET_MS).

enum Fault {
    FAULT_NONE, FAULT_DROP_ACK, FAULT_DROP_ALL_ACKS, FAULT_REJECT_F0, FAULT_REJECT_FE, FAULT_STRAY,
    FAULT_KILL, FAULT_PTY_GONE, FAULT_LATE_ACK, FAULT_HANDSHAKE_FIRST, FAULT_QUICK_RETRY, FAULT_COUNT
};
static const char *const FAULT_NAMES[FAULT_COUNT] = {
    "none", "lost-ack", "no-acks", "reject-F0", "reject-FE", "stray-bytes", "box-killed", "pty-removed",
    "late-ack", "no-image-handshake", "quick-retry"
};

#define LATE_ACK_LOW_MS   4700   // the ack watchdog runs out 4.75..5 s after it is armed
#define LATE_ACK_HIGH_MS  5000
#define RETRY_LOW_MS      1000   // Shift+PageUp this long after Continue: the typed commands
#define RETRY_HIGH_MS     6000   // take 2.5 s, the upload 0.7..2.9 s, the pause before its page 1 s
#define PAINT_MS          100    // a page is left to paint and take its focus first
#define SETTLE_MS         400    // a page just answered is gone by then
#define WITHOUT_PORT_MS   4000
#define REBOOT_WAIT_MS    10000

// Whether the run may still complete once its fault struck: the protocol
// rides out stray bytes and an ack that beat its watchdog; a lost ack, a
// reject or a box gone mid-transfer leave no way to the end. (A fault set
// for a block past the end of the image that went out never struck.)
static int mayComplete(Fault fault, const std::string &boxLog, int struck)
{
    switch (fault) {
    case FAULT_DROP_ACK: return boxLog.find("event=drop-ack") == std::string::npos;
    case FAULT_DROP_ALL_ACKS: return boxLog.find("event=drop-all-acks") == std::string::npos;
    case FAULT_REJECT_F0:
    case FAULT_REJECT_FE: return boxLog.find("event=reject") == std::string::npos;
    case FAULT_KILL:
    case FAULT_PTY_GONE: return !struck;
    default: return 1;
    }
}

struct RunPlan {
    Fault fault;
    int silentRetry;   // quick-retry: the box falls silent after Continue, instead of Shift+PageUp
    uint32_t size;
    int block;
    int lateMs;
    int retryMs;
    char options[96];
    std::string image;
    Bytes contents;
};

struct RunRecord {
    int completions;        // completion pages
    int failures;           // failure pages of this run's attempts
    int stale;              // failure pages before the attempt's connect page
    int staleCompletions;   // completion pages before it: an abandoned attempt's
    int struck;             // box-killed, pty-removed: the box went at 30 %
    int fileDialogs;        // file dialogs answered in this run before its end page
    PageKind firstEnd;
    int hang;
    int noWayBack;          // pty-removed: no new attempt once the box was back
    int leftOpen;
    std::string leftKinds;
    int engineFileDialogs;  // file dialogs the engine opened on the reader thread
    int retried;            // Shift+PageUp sent
    int afterEnd;           // pages (not failure pages) that opened after the end page: as good as left open
    std::string afterKinds;
    Bytes expected;         // the image last chosen when the completion page showed
    int rebootSeen;
    HWND nextPort;          // the next wizard's port page: the run is over
};

struct Tally {
    int runs, faults[FAULT_COUNT], completedBy[FAULT_COUNT], failedBy[FAULT_COUNT];
    int completions, identical, wrongSuccesses, failureRuns, doubleReports, staleReports, leftOpen, hangs;
    int missed, noWayBack, reconnects, engineChose, imageReused, silentRetries, shiftRetries, afterEnd;
    int earlierImage, staleCompletions;
};

static const char *pageName(PageKind kind)
{
    static const char *const names[] = { "other", "port", "cable", "disconnect", "connect", "completed", "warning",
                                         "welcome", "open-failed", "comm-failed", "fail-mains", "invalid-file",
                                         "progress", "file", "about" };
    return kind >= PAGE_OTHER && kind <= PAGE_ABOUT ? names[kind] : "?";
}

static int isFailurePage(PageKind kind)
{
    return kind == PAGE_OPEN_FAILED || kind == PAGE_COMM_FAILED || kind == PAGE_FAIL_MAINS || kind == PAGE_INVALID_FILE;
}

// Run 1 is always a clean upload; then the listed faults in turn (by "each"
// the first of them is "none" again), or one drawn at random.
static RunPlan planRun(int run, uint32_t seed, const std::vector<int> &faults, int each)
{
    RunPlan plan;
    SeedRandom(MixSeed(seed, uint32_t(run)));
    plan.fault = run == 1 ? FAULT_NONE : faults.empty() ? Fault(RandomBelow(FAULT_COUNT))
               : Fault(faults[size_t(run - (each ? 1 : 2)) % faults.size()]);
    plan.size = 8 * 1024 + RandomBelow(24 * 1024);
    int blocks = int((plan.size + BLOCK_BYTES - 1) / BLOCK_BYTES);
    plan.block = RandomBetween(1, blocks);
    plan.lateMs = RandomBetween(LATE_ACK_LOW_MS, LATE_ACK_HIGH_MS);
    plan.retryMs = RandomBetween(RETRY_LOW_MS, RETRY_HIGH_MS);
    plan.silentRetry = each ? 0 : int(RandomBelow(2));
    // Paced like a real line, so that a fault struck at 30 % lands mid-transfer:
    // unpaced, a block write takes microseconds and the image is through first.
    std::string box = BoxFaultOptions(FAULT_NAMES[plan.fault], plan.block, plan.lateMs);
    snprintf(plan.options, sizeof plan.options, "--pace%s%s", box.empty() ? "" : " ", box.c_str());
    char name[32];
    snprintf(name, sizeof name, "robust-%d.bin", run % 4);
    plan.image = WriteRunImage(name, plan.size, MixSeed(seed, uint32_t(run)), &plan.contents);
    return plan;
}

// Shift+PageUp, as the accelerator sends it.
static void pressShiftPageUp(App &app)
{
    HWND main = MainWindowOf(app);
    if (!main || !PostMessageA(main, WM_COMMAND, CMD_CONNECT, 0))
        printf("         cannot post the new attempt to the program's main window: error %lu\n", GetLastError());
}

static int onMainThread(App &app, HWND page)
{
    HWND main = MainWindowOf(app);
    return main && GetWindowThreadProcessId(page, nullptr) == GetWindowThreadProcessId(main, nullptr);
}

// Walks one run's pages as a technician would (the port, Next, OK, the box
// powered on at the connect page, the image, Continue) and strikes the
// run's fault. Returns when the next wizard's port page shows after the
// run's end page, when nothing new happens for QUIET_MS, or when the
// program is gone. lastChosen is the image the box should end up with.
static void walkRun(App &app, const RunPlan &plan, RunRecord *rec, Bytes *lastChosen)
{
    HWND progress = nullptr, completion = nullptr;
    int highestPercent = -1, struck = 0, connectSeen = 0, ended = 0, nextAsked = 0;
    DWORD warningAt = 0, completedAt = 0, lastMove = GetTickCount();
    PumpUntil([&] {
        DWORD now = GetTickCount();
        if (now - lastMove > QUIET_MS) {
            rec->hang = 1;
            return true;
        }
        if (WaitForSingleObject(app.process.hProcess, 0) == WAIT_OBJECT_0) {
            rec->hang = 1;
            return true;
        }
        if (progress && IsWindow(progress)) {
            int percent = atoi(ControlText(progress, IDC_PERCENT).c_str());
            if (percent > highestPercent) {
                highestPercent = percent;
                lastMove = now;
            }
            if (!struck && percent >= 30 && (plan.fault == FAULT_KILL || plan.fault == FAULT_PTY_GONE)) {
                struck = 1;
                rec->struck = 1;
                StopBox();
                if (plan.fault == FAULT_KILL)
                    StartBox("");
            }
        }
        // A new attempt a few seconds after the image was accepted.
        if (plan.fault == FAULT_QUICK_RETRY && !plan.silentRetry && warningAt && !rec->retried && !ended &&
            now - warningAt >= DWORD(plan.retryMs)) {
            rec->retried = 1;
            pressShiftPageUp(app);
            lastMove = now;
        }
        // After a completion alone: once the reboot is typed and the page has
        // gone, the technician starts on the next box (Shift+PageUp).
        if (completion && !nextAsked && rec->failures == 0 && !IsWindowVisible(completion)) {
            rec->rebootSeen = BoxLog().find("text=boot") != std::string::npos;
            if (rec->rebootSeen || now - completedAt > REBOOT_WAIT_MS) {
                nextAsked = 1;
                pressShiftPageUp(app);
                lastMove = now;
            }
        }
        for (ShownPage shown : NewPages(app)) {
            HWND page = shown.page;
            PageKind kind = shown.kind;
            if (kind == PAGE_PORT && ended) {
                rec->nextPort = page;   // answered by the next run
                return true;
            }
            app.answered.insert(page);
            lastMove = now;
            if (ended && kind != PAGE_COMPLETED && !isFailurePage(kind)) {
                rec->afterEnd++;
                rec->afterKinds += std::string(rec->afterKinds.empty() ? "" : ",") + pageName(kind);
            }
            Sleep(PAINT_MS);
            switch (kind) {
            case PAGE_PORT:
                if (rec->retried && connectSeen) {
                    connectSeen = 0;   // the new attempt, on a fresh box
                    StartBox("--pace");
                }
                SendDlgItemMessageA(page, IDC_PORT, CB_SETCURSEL, BoxPortIndex(), 0);
                Press(page, 3);
                break;
            case PAGE_CONNECT:
                connectSeen = 1;
                PowerOnBox();
                break;   // the program ends this page itself
            case PAGE_FILE:
                rec->fileDialogs += !ended;
                rec->engineFileDialogs += !onMainThread(app, page);
                ChooseFile(page, plan.image);
                *lastChosen = plan.contents;
                break;
            case PAGE_WARNING:
                Press(page, IDCANCEL);
                warningAt = GetTickCount();
                if (plan.fault == FAULT_QUICK_RETRY && plan.silentRetry)
                    StopBox();   // the box stops answering: the start watchdog is to end the attempt
                break;
            case PAGE_PROGRESS:
                progress = page;
                break;   // it closes itself
            case PAGE_COMPLETED:
                if (!connectSeen) {
                    rec->staleCompletions++;   // e.g. the upload that Shift+PageUp left behind
                    Press(page, IDOK);
                    break;
                }
                rec->completions++;
                rec->expected = *lastChosen;   // what went out; a later selection is another matter
                if (!ended)
                    rec->firstEnd = kind;
                ended = 1;
                completion = page;
                completedAt = GetTickCount();
                Press(page, IDOK);
                break;
            default:
                if (isFailurePage(kind)) {
                    if (!connectSeen && kind != PAGE_OPEN_FAILED) {
                        rec->stale++;
                    } else {
                        rec->failures++;
                        if (!ended)
                            rec->firstEnd = kind;
                        ended = 1;
                    }
                }
                Press(page, GoOnButtonOf(kind));
                break;
            }
        }
        return false;
    }, INFINITE);
}

// With the box's pty gone the wizard's new attempt cannot open the port and,
// after a failure page, says nothing: the program waits with the port closed.
// The technician plugs the box back in and presses Shift+PageUp.
static int reopenWithoutPort(App &app, RunRecord *rec, Tally *tally)
{
    HWND page = rec->nextPort;
    rec->nextPort = nullptr;
    app.answered.insert(page);
    SendDlgItemMessageA(page, IDC_PORT, CB_SETCURSEL, BoxPortIndex(), 0);
    Press(page, 3);
    PumpUntil([] { return false; }, WITHOUT_PORT_MS);
    size_t showing = VisibleDialogs(app.process.dwProcessId).size();
    if (!MainWindowOf(app) || showing) {
        printf("         without the port: %u dialogs showing\n", unsigned(showing));
        return 0;
    }
    tally->reconnects++;
    StartBox("");
    pressShiftPageUp(app);
    rec->nextPort = WaitPage(app, PAGE_PORT, 5000);
    return rec->nextPort != nullptr;
}

// Pages of the program other than the next port page once the run is over.
// They are counted, and answered so that the next run starts clean.
static void collectLeftOpen(App &app, RunRecord *rec)
{
    PumpUntil([] { return false; }, SETTLE_MS);
    for (HWND page : VisibleDialogs(app.process.dwProcessId)) {
        if (page == rec->nextPort)
            continue;
        PageKind kind = PageKindOf(page);
        rec->leftOpen++;
        rec->leftKinds += std::string(rec->leftKinds.empty() ? "" : ",") + pageName(kind);
        if (kind == PAGE_PORT || kind == PAGE_PROGRESS || kind == PAGE_FILE || kind == PAGE_OTHER)
            continue;
        app.answered.insert(page);
        Press(page, GoOnButtonOf(kind));   // the connect page's OK is what the program itself would post
    }
}

// The box's own account of a run that went wrong: its events and verdicts.
static void printBoxReport(const std::string &log)
{
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.find("event=") != std::string::npos || line.find("verdict=") != std::string::npos)
            printf("         box: %s\n", line.c_str());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
}

static void printUsageAt(const char *when, int run, const Usage &usage)
{
    printf("%s run %3d: rss %.1f MiB (peak %.1f MiB), %d open descriptors\n", when, run, usage.residentMiB,
           usage.peakMiB, usage.descriptors);
}

// onlyFault names one fault for every run, or "each" for every fault in turn.
static int runRobust(int runs, uint32_t seed, const char *onlyFault)
{
    int each = onlyFault && strcmp(onlyFault, "each") == 0;
    std::vector<int> faults;
    if (onlyFault) {
        faults = ParseFaultList(onlyFault, FAULT_NAMES, FAULT_COUNT);
        if (faults.empty()) {
            fprintf(stderr, "unknown fault in %s\n", onlyFault);
            return 0;
        }
    }
    Tally tally = {};
    App app;
    StartBox("");
    if (!Launch(app)) {
        printf("cannot start the program: error %lu\n", GetLastError());
        return 0;
    }
    static const int marks[] = { 1, 10, 50, 100 };
    Usage usageAt[4] = {};
    Bytes lastChosen;
    DWORD started = GetTickCount();
    int done = 0;
    for (int run = 1; run <= runs; run++) {
        RunPlan plan = planRun(run, seed, faults, each);
        if (plan.image.empty())
            break;
        tally.runs++;
        tally.faults[plan.fault]++;
        StartBox(plan.options);
        RunRecord rec = {};
        walkRun(app, plan, &rec, &lastChosen);
        int failed = rec.failures > 0;
        if (plan.fault == FAULT_PTY_GONE && rec.nextPort && failed && !reopenWithoutPort(app, &rec, &tally))
            rec.noWayBack = 1;
        if (rec.nextPort)
            collectLeftOpen(app, &rec);

        std::string log = BoxLog();
        int intact = log.find("verdict=complete") != std::string::npos && ReceivedEquals(rec.expected);
        int completed = rec.completions > 0;
        int wrong = completed && (!intact || !mayComplete(plan.fault, log, rec.struck) || failed);
        int earlierImage = completed && rec.fileDialogs == 0;   // no file dialog this run: an image chosen before
        int missed = (plan.fault == FAULT_NONE || plan.fault == FAULT_STRAY ||
                      (plan.fault == FAULT_QUICK_RETRY && !plan.silentRetry)) && !completed && !rec.hang;
        int noImageOpen = plan.fault == FAULT_HANDSHAKE_FIRST && rec.engineFileDialogs > 0;
        tally.completions += completed;
        tally.identical += completed && intact;
        tally.completedBy[plan.fault] += completed;
        tally.failedBy[plan.fault] += failed;
        tally.failureRuns += failed;
        tally.wrongSuccesses += wrong;
        tally.doubleReports += (rec.failures >= 2) + rec.stale;
        tally.staleReports += rec.stale;
        tally.leftOpen += rec.leftOpen;
        tally.afterEnd += rec.afterEnd;
        tally.hangs += rec.hang;
        tally.missed += missed;
        tally.noWayBack += rec.noWayBack;
        tally.engineChose += rec.engineFileDialogs;
        tally.imageReused += plan.fault == FAULT_HANDSHAKE_FIRST && !noImageOpen && completed;
        tally.earlierImage += earlierImage;
        tally.staleCompletions += rec.staleCompletions;
        tally.silentRetries += plan.fault == FAULT_QUICK_RETRY && plan.silentRetry;
        tally.shiftRetries += rec.retried;

        std::string outcome;
        if (rec.hang)
            outcome = "HANG";
        else if (completed && failed)
            outcome = std::string("COMPLETED AND FAILED (") + pageName(rec.firstEnd) + " first)";
        else if (completed)
            outcome = !intact ? "COMPLETED WITHOUT THE IMAGE" : wrong ? "COMPLETED AFTER THE FAULT STRUCK"
                    : earlierImage ? "completed, identical (an image chosen before this run)" : "completed, identical";
        else if (failed)
            outcome = std::string("failure page (") + pageName(rec.firstEnd) + ")";
        else
            outcome = "no end page";
        if (rec.failures >= 2)
            outcome += ", " + std::to_string(rec.failures) + " FAILURE PAGES";
        if (rec.stale)
            outcome += ", " + std::to_string(rec.stale) + " STALE FAILURE PAGE(S)";
        if (rec.staleCompletions)
            outcome += ", the abandoned attempt's completion page";
        if (rec.leftOpen)
            outcome += ", LEFT OPEN: " + rec.leftKinds;
        if (rec.afterEnd)
            outcome += ", PAGES AFTER THE END: " + rec.afterKinds;
        if (missed)
            outcome += ", MISSED";
        if (rec.noWayBack)
            outcome += ", NO WAY BACK WITHOUT THE PORT";
        char detail[64] = "";
        if (plan.fault == FAULT_LATE_ACK)
            snprintf(detail, sizeof detail, "block %d +%d ms", plan.block, plan.lateMs);
        else if (plan.fault == FAULT_QUICK_RETRY && plan.silentRetry)
            snprintf(detail, sizeof detail, "box silent");
        else if (plan.fault == FAULT_QUICK_RETRY)
            snprintf(detail, sizeof detail, "Shift+PgUp +%d ms%s", plan.retryMs, rec.retried ? "" : " (not sent)");
        else if (plan.fault == FAULT_HANDSHAKE_FIRST)
            snprintf(detail, sizeof detail, "%s", noImageOpen ? "engine chose" : "image was open");
        else if (plan.fault != FAULT_NONE && plan.fault != FAULT_KILL && plan.fault != FAULT_PTY_GONE)
            snprintf(detail, sizeof detail, "block %d", plan.block);
        Usage now = UsageOf(app);
        int anomalous = rec.hang || wrong || rec.failures >= 2 || rec.stale || rec.leftOpen || rec.afterEnd || missed ||
                        rec.noWayBack;
        printf("run %3d  %-18s %-24s %6u bytes  %s  rss %5.1f MiB  files %d\n", run, FAULT_NAMES[plan.fault], detail,
               unsigned(plan.size), outcome.c_str(), now.residentMiB, now.descriptors);
        if (anomalous)
            printBoxReport(log);
        if (completed && !intact)
            printf("         %s\n", DescribeReceived(rec.expected).c_str());
        for (int m = 0; m < 4; m++)
            if (run == marks[m])
                usageAt[m] = now;
        done = run;
        if (rec.hang || !rec.nextPort)
            break;   // nothing more can be driven
    }
    double seconds = (GetTickCount() - started) / 1000.0;
    Usage last = UsageOf(app);
    DWORD exitCode = closeProgram(app);
    StopBox();
    printf("\nrobust summary (seed %u, %d of %d runs, %.0f s, %.1f s a run)\n", unsigned(seed), done, runs, seconds,
           done ? seconds / done : 0.0);
    printf("runs %d  completions %d  identical images %d  failure runs %d  wrong successes %d  "
           "double failure reports %d (stale %d)  pages left open %d (%d showing at the next run, %d opened after "
           "the end)  hangs %d  missed completions %d  no way back %d  reconnects %d  exit code %lu\n",
           tally.runs, tally.completions, tally.identical, tally.failureRuns, tally.wrongSuccesses,
           tally.doubleReports, tally.staleReports, tally.leftOpen + tally.afterEnd, tally.leftOpen, tally.afterEnd,
           tally.hangs, tally.missed, tally.noWayBack, tally.reconnects, exitCode);
    printf("no-image-handshake: engine's own file dialogs %d, completions with the image still open %d;  "
           "quick-retry: box silent %d, Shift+PageUp sent %d, the abandoned attempt's completion page %d;  "
           "completions of an image chosen before the run %d\n",
           tally.engineChose, tally.imageReused, tally.silentRetries, tally.shiftRetries, tally.staleCompletions,
           tally.earlierImage);
    printf("fault                runs  completed  failed\n");
    for (int f = 0; f < FAULT_COUNT; f++)
        printf("%-18s %6d  %9d  %6d\n", FAULT_NAMES[f], tally.faults[f], tally.completedBy[f], tally.failedBy[f]);
    for (int m = 0; m < 4; m++)
        if (done >= marks[m])
            printUsageAt("at", marks[m], usageAt[m]);
    printUsageAt("at the end,", done, last);
    return tally.wrongSuccesses == 0 && tally.doubleReports == 0 && tally.leftOpen == 0 && tally.afterEnd == 0 &&
           tally.hangs == 0 && tally.missed == 0 && tally.noWayBack == 0 && done == runs && exitCode == 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 3 && strcmp(argv[1], "image") == 0) {
        printf("%s\n", imageFor(uint32_t(strtoul(argv[2], nullptr, 0)), nullptr).c_str());
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "robust") == 0)
        return runRobust(atoi(argv[2]), argc >= 4 ? uint32_t(strtoul(argv[3], nullptr, 0)) : 1u,
                         argc >= 5 ? argv[4] : nullptr) ? 0 : 1;
    fprintf(stderr, "usage: flashdrive robust RUNS [SEED [FAULT,...|each]] | image SIZE\n");
    return 2;
}
