// flashdrive: the driver of the real program for the robustness runs and the
// benchmark, under tests/with-ports.sh (the box simulator on COM7).
//   flashdrive robust RUNS [SEED [FAULTS]]  uploads in a row by one running
//       TesselFlash.exe to a paced box, faults struck at random (or FAULTS in
//       turn: names from runsupport.cpp, comma-separated, or "each")
//   flashdrive link RUNS [SEED [FAULTS]]    the same with the program's own
//       start-up and main window in this process, its tick ten times faster
//       (every watchdog runs out ten times sooner; the box's own time-outs
//       stay), an unpaced box and small images: a thousand uploads and more
//   flashdrive upload SIZE [BOX-OPTION...] | idle SECONDS | writecost
//       the benchmark's figures (upload: the paced box given those options
//       too, e.g. --adapter-latency 16)
// Every run walks the pages until its end page (the completion page or one
// failure page) is answered and the next wizard's port page shows; what it
// counts is in RunRecord, how it is judged in judgeRun's findings. With
// ROBUST_MINUTES set no run begins after that many minutes; with
// FLASHDRIVE_BOX_REPORT set every run prints the box's events.
#include "tests/app_driver.h"
#include "tests/upload_harness.h"
#include "tools/bench/benchdrive.h"
#include "tools/bench/runsupport.h"
#include "tools/bench/procusage.h"
#include "app/app.h"
#include "app/ids.h"
#include "serial/serial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

// The program's longest watchdog (10 s) and a margin only a hang outlasts:
// nothing new by then is a hang, also on a busy machine.
#define QUIET_MS         (TICKS_START * TICK_MS + HANG_MS)
#define WITHOUT_PORT_MS  4000
#define REBOOT_WAIT_MS   10000
#define HOLD_MARGIN_MS   5000    // the failure page held for the box's second handshake: a bound, not a wait
#define PROGRESS_EVERY   50

struct RunMode {
    const char *name;
    const char *program;         // its Linux process, for the memory figures
    int faults;                  // drawn from the first this many of the table
    const char *pace;
    uint32_t minBytes, maxBytes;
    int retryLowMs, retryHighMs; // Shift+PageUp this long after Continue
    DWORD paintMs, settleMs;     // a page just answered is gone after settleMs
    int everyRun;                // a line for every run, or only for runs that went wrong
};
// Paced like a real line, so that a fault struck at 30 % lands mid-transfer.
// Shift+PageUp within the typed commands (10 ticks), the upload and the
// pause before its completion page (1 s).
static const RunMode GUI_MODE = { "robust", "TesselFlash.exe", FAULT_COUNT, "--pace", 8 * 1024, 32 * 1024,
                                  1000, 6000, 150, 400, 1 };
static const RunMode LINK_MODE = { "link", "flashdrive.exe", FAULT_UNPACED_COUNT, "", 2048, 8192,
                                   100, 1250, 20, 100, 0 };
#define LINK_TICK_MS 25

static double tickMs = TICK_MS;   // the program's tick as it comes

struct RunPlan {
    Fault fault;
    int silentRetry;   // quick-retry: the box falls silent after Continue, instead of Shift+PageUp
    uint32_t size;
    int retryMs;
    int number, faultMs;   // what the box's options are given (runsupport.h)
    int chooseAfterMs;     // the engine's own file dialog is answered this late: after the prompt watch
    std::string options, image;
    Bytes contents;
};

struct RunRecord {
    int completions;        // completion pages
    int failures;           // failure pages of this run's attempts
    int stale;              // failure pages before the attempt's connect page
    int staleCompletions;   // completion pages before it: an abandoned attempt's
    int struck;             // box-killed, pty-removed: the box went at 30 %
    int fileDialogs;        // file dialogs answered in this run before its end page
    int engineFileDialogs;  // file dialogs the engine asked for (a box that asked first): no prompt came
    int retried;            // Shift+PageUp sent
    int hang;               // nothing new for QUIET_MS
    int noWayBack, rebootSeen;
    int notRebooted;        // the main window said the box was not rebooted (answered)
    int slowChoices;        // the engine's file dialog answered after the prompt watch
    int rehandshakeEarly;   // the box's second handshake came before the failure page
    int lateDialogs;        // the engine's file dialog after the completion (cancelled)
    PageKind firstEnd;
    int leftOpen, afterEnd; // pages showing at the next run; pages after the end but failures and the next port page
    std::string leftKinds, afterKinds;
    Bytes expected;         // the image last chosen when the completion page showed
    HWND nextPort;          // the next wizard's port page: the run is over
};

struct Tally {
    int runs, faults[FAULT_COUNT], completedBy[FAULT_COUNT], failedBy[FAULT_COUNT];
    int completions, identical, wrongSuccesses, failureRuns, doubleReports, staleReports, leftOpen, hangs;
    int missed, noWayBack, reconnects, engineChose, imageReused, silentRetries, shiftRetries, afterEnd;
    int earlierImage, staleCompletions, boxCompleteButFailed, rebootsMissing;
    int notRebooted, slowChoices, rehandshakes, rehandshakeEarly, answeredAfterFailure, heardAfterFailure;
    int lateHandshakes, lateAnswered, lateDialogs, secondTransfers;
    int anomalous;   // runs that went wrong
};

// Run 1 is always a clean upload; then the listed faults in turn (by "each"
// the first of them is "none" again), or one drawn at random.
static RunPlan planRun(const RunMode &mode, int run, uint32_t seed, const std::vector<int> &faults, int each)
{
    RunPlan plan;
    SeedRandom(MixSeed(seed, uint32_t(run)));
    plan.fault = run == 1 ? FAULT_NONE : faults.empty() ? Fault(RandomBelow(uint32_t(mode.faults)))
               : Fault(faults[size_t(run - (each ? 1 : 2)) % faults.size()]);
    plan.size = uint32_t(RandomBetween(int(mode.minBytes), int(mode.maxBytes)));
    plan.number = RandomBetween(1, int((plan.size + BLOCK_SIZE - 1) / BLOCK_SIZE));   // the block struck
    // The ack watchdog runs out between 19 and 20 ticks after it is armed;
    // the ack then takes a little longer to be read than the tick.
    plan.faultMs = RandomBetween(int((TICKS_ACK - 1.2) * tickMs), int(TICKS_ACK * tickMs) + 10);
    plan.retryMs = RandomBetween(mode.retryLowMs, mode.retryHighMs);
    plan.silentRetry = each ? 0 : int(RandomBelow(2));
    if (plan.fault == FAULT_REHANDSHAKE)   // once the block watchdog reported, while its page shows
        plan.faultMs = int(TICKS_ACK * tickMs) + RandomBetween(1000, 2500);
    else if (plan.fault == FAULT_CHATTER)
        plan.number = RandomBetween(16, 600);
    else if (plan.fault == FAULT_LATE_HANDSHAKE)   // in the pause, under the completion page or after it
        plan.number = RandomBetween(0, 2500);
    plan.chooseAfterMs = int(TICKS_PROMPT * tickMs) + RandomBetween(300, 1500);
    std::string box = FaultText(FAULTS[plan.fault].box, plan.number, plan.faultMs);
    plan.options = std::string(mode.pace) + (box.empty() || !*mode.pace ? "" : " ") + box;
    // Files are reused, but not soon: an image left open by a failed run must
    // not be rewritten under the program by the next few runs.
    char name[32];
    snprintf(name, sizeof name, "%s-%d.bin", mode.name, run % 64);
    plan.image = WriteRunImage(name, plan.size, MixSeed(seed, uint32_t(run)), &plan.contents);
    return plan;
}

// Whether the run may still complete once its fault struck.
static int mayComplete(Fault fault, const std::string &boxLog, int struck)
{
    if (fault == FAULT_KILL || fault == FAULT_PTY_GONE)
        return !struck;
    return !FAULTS[fault].noWayOn || boxLog.find(FAULTS[fault].noWayOn) == std::string::npos;
}

// The program's main window, found once: a search of the desktop's windows
// stops short when a window of another process goes at that moment, which
// several runs at once on one Wine server do.
static HWND mainWindowOf(App &app)
{
    static HWND known;
    if (!known || !IsWindow(known))
        known = MainWindowOf(app);
    return known;
}

// Shift+PageUp, as the accelerator sends it.
static void pressShiftPageUp(App &app)
{
    HWND main = mainWindowOf(app);
    if (!main || !PostMessageA(main, WM_COMMAND, CMD_CONNECT, 0))
        printf("         cannot post the new attempt to the program's main window: error %lu\n", GetLastError());
}

static int onMainThread(App &app, HWND page)
{
    HWND main = mainWindowOf(app);
    return main && GetWindowThreadProcessId(page, nullptr) == GetWindowThreadProcessId(main, nullptr);
}

static const char *pageName(PageKind kind)
{
    static const char *const names[] = { "other", "port", "cable", "disconnect", "connect", "completed", "warning",
                                         "welcome", "open-failed", "comm-failed", "fail-mains", "invalid-file",
                                         "progress", "file", "about" };
    return kind >= PAGE_OTHER && kind <= PAGE_ABOUT ? names[kind] : "?";
}

static void addKind(std::string *list, PageKind kind)
{
    *list += std::string(list->empty() ? "" : ",") + pageName(kind);
}

// The main window's message box that the box was not rebooted.
static int isNotRebootedBox(HWND window)
{
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    if (strcmp(text, APP_TITLE) != 0)
        return 0;
    static const std::string first = std::string(NOT_REBOOTED_TEXT).substr(0, 40);
    for (HWND child = FindWindowExA(window, nullptr, "Static", nullptr); child;
         child = FindWindowExA(window, child, "Static", nullptr)) {
        GetWindowTextA(child, text, sizeof text);
        if (first == std::string(text).substr(0, first.size()))
            return 1;
    }
    return 0;
}

// Answers the not-rebooted message box as the technician does; 1 when one was showing.
static int answerNotRebooted(App &app, RunRecord *rec)
{
    int found = 0;
    for (HWND window : VisibleDialogs(app.process.dwProcessId)) {
        if (app.answered.count(window) || PageKindOf(window) != PAGE_OTHER || !isNotRebootedBox(window))
            continue;
        app.answered.insert(window);
        rec->notRebooted++;
        Press(window, IDOK);
        found = 1;
    }
    return found;
}

// The box's log from its mark on (the whole log when the mark is not in it).
static std::string logAfter(const std::string &log, const char *mark)
{
    size_t at = log.find(mark);
    return at == std::string::npos ? "" : log.substr(at);
}

// Whether the host answered the box's handshake in this part of its log:
// the box's go-ahead, or FA AA among the bytes it ignored (the answer came
// after the box stopped waiting for it).
static int answeredIn(const std::string &tail)
{
    if (tail.find("event=go-ahead") != std::string::npos)
        return 1;
    std::string ignored;
    for (size_t at = tail.find("event=ignored"); at != std::string::npos; at = tail.find("event=ignored", at + 1)) {
        size_t first = tail.find("first=", at), end = tail.find('\n', at);
        if (first != std::string::npos && first < end)
            ignored += tail.substr(first + 6, end - first - 6) + " ";
    }
    return ignored.find("FA AA") != std::string::npos;
}

// Whether the box heard anything once its second handshake went out:
// bytes it ignored, its go-ahead, a length, a command.
static int heardAfter(const std::string &tail)
{
    for (const char *mark : { "event=ignored", "event=go-ahead", "event=length", "event=command", "event=stop" })
        if (tail.find(mark) != std::string::npos)
            return 1;
    return 0;
}

// One run's pages, walked as a technician would, with the run's fault
// struck on the way; lastChosen is the image the box should end up with.
static void walkRun(App &app, const RunMode &mode, const RunPlan &plan, RunRecord *rec, Bytes *lastChosen)
{
    int connectSeen = 0, ended = 0, nextAsked = 0, again = 0, held = 0;
    DWORD warningAt = 0, completedAt = 0;
    HWND completion = nullptr;
    DrivePlan walk;
    walk.image = plan.image;
    walk.portIndex = BoxPortIndex();
    walk.stopAtEnd = 0;
    walk.quietMs = QUIET_MS;
    walk.paintMs = mode.paintMs;
    walk.onPercent = [&](int percent) {
        if (!rec->struck && percent >= 30 && (plan.fault == FAULT_KILL || plan.fault == FAULT_PTY_GONE)) {
            rec->struck = 1;
            StopBox();
            if (plan.fault == FAULT_KILL)
                StartBox("");
        }
    };
    walk.onRound = [&] {
        DWORD now = GetTickCount();
        if (held) {   // a page held on purpose is no stall
            held = 0;
            return 1;
        }
        if (answerNotRebooted(app, rec))
            return 1;
        // A new attempt a few seconds after the image was accepted.
        if (plan.fault == FAULT_QUICK_RETRY && !plan.silentRetry && warningAt && !rec->retried && !ended &&
            now - warningAt >= DWORD(plan.retryMs)) {
            rec->retried = 1;
            pressShiftPageUp(app);
            return 1;
        }
        // After a completion alone: once the reboot is typed and the page has
        // gone, the technician starts on the next box (Shift+PageUp).
        if (completion && !nextAsked && rec->failures == 0 && !IsWindowVisible(completion)) {
            rec->rebootSeen = BoxLog().find("text=boot") != std::string::npos;
            if (rec->rebootSeen || now - completedAt > REBOOT_WAIT_MS) {
                nextAsked = 1;
                pressShiftPageUp(app);
                return 1;
            }
        }
        return 0;
    };
    walk.onPage = [&](HWND page, PageKind kind) {
        if (kind == PAGE_PORT && ended) {
            rec->nextPort = page;   // answered by the next run
            return 1;
        }
        if (ended && kind == PAGE_FILE && plan.fault == FAULT_LATE_HANDSHAKE) {
            // The box asked again after the completion: the technician did
            // not ask for another upload, and cancels.
            rec->lateDialogs++;
            app.answered.insert(page);
            Press(page, IDCANCEL);
            again = 1;
            return 1;
        }
        if (ended && kind != PAGE_COMPLETED && !IsFailurePage(kind)) {
            rec->afterEnd++;
            addKind(&rec->afterKinds, kind);
        }
        int stale = !connectSeen && kind != PAGE_OPEN_FAILED;
        switch (kind) {
        case PAGE_PORT:
            if (rec->retried && connectSeen) {
                connectSeen = 0;   // the new attempt, on a fresh box
                StartBox(mode.pace);
            }
            break;
        case PAGE_CONNECT:
            connectSeen = 1;
            break;
        case PAGE_FILE:
            rec->fileDialogs += !ended;
            // The engine's selection shows on the main thread too; with no
            // prompt in the run, every file dialog is the engine's.
            rec->engineFileDialogs += plan.fault == FAULT_HANDSHAKE_FIRST;
            if (plan.fault == FAULT_HANDSHAKE_FIRST) {
                // The box asked first, and the user takes longer than the prompt watch to choose.
                PumpUntil([] { return false; }, DWORD(plan.chooseAfterMs));
                rec->slowChoices++;
                held = 1;
            }
            *lastChosen = plan.contents;
            break;
        case PAGE_WARNING:
            warningAt = GetTickCount();
            if (plan.fault == FAULT_QUICK_RETRY && plan.silentRetry)
                StopBox();   // the box stops answering: the start watchdog is to end the attempt
            break;
        case PAGE_COMPLETED:
            if (stale) {
                rec->staleCompletions++;   // e.g. the upload that Shift+PageUp left behind
                break;
            }
            rec->completions++;
            rec->expected = *lastChosen;   // what went out; a later selection is another matter
            completion = page;
            completedAt = GetTickCount();
            break;
        default:
            if (IsFailurePage(kind) && stale)
                rec->stale++;
            else if (IsFailurePage(kind))
                rec->failures++;
            if (IsFailurePage(kind) && !stale && !ended && plan.fault == FAULT_REHANDSHAKE) {
                // The page stays up until the box's second handshake got its answer or none.
                rec->rehandshakeEarly = BoxLog().find("event=rehandshake") != std::string::npos;
                PumpUntil([] {
                    std::string tail = logAfter(BoxLog(), "event=rehandshake");
                    return tail.find("event=no-host") != std::string::npos ||
                           tail.find("event=go-ahead") != std::string::npos;
                }, DWORD(plan.faultMs + HOLD_MARGIN_MS));
                held = 1;
            }
            break;
        }
        if ((kind == PAGE_COMPLETED || IsFailurePage(kind)) && !stale) {
            if (!ended)
                rec->firstEnd = kind;
            ended = 1;
        }
        return 0;
    };
    do {
        again = 0;
        rec->hang = DriveWizard(app, walk).stalled;
    } while (again && !rec->hang);
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
    rec->nextPort = WaitPage(app, PAGE_PORT, HANG_MS);
    return rec->nextPort != nullptr;
}

// Pages of the program other than the next port page once the run is over.
// They are counted, and answered so that the next run starts clean.
static void collectLeftOpen(App &app, const RunMode &mode, RunRecord *rec)
{
    PumpUntil([] { return false; }, mode.settleMs);
    if (answerNotRebooted(app, rec))
        PumpUntil([] { return false; }, mode.settleMs);
    for (HWND page : VisibleDialogs(app.process.dwProcessId)) {
        if (page == rec->nextPort)
            continue;
        PageKind kind = PageKindOf(page);
        rec->leftOpen++;
        addKind(&rec->leftKinds, kind);
        if (kind == PAGE_PORT || kind == PAGE_PROGRESS || kind == PAGE_FILE || kind == PAGE_OTHER)
            continue;
        app.answered.insert(page);
        Press(page, GoOnButtonOf(kind));   // the connect page's OK is what the program itself would post
    }
}

// The box's own account of a run that went wrong: its events and verdicts.
static void printBoxReport(const std::string &log)
{
    for (size_t at = 0, end = 0; at < log.size(); at = end + 1) {
        end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.find("event=") != std::string::npos || line.find("verdict=") != std::string::npos)
            printf("         box: %s\n", line.c_str());
        if (end == std::string::npos)
            break;
    }
}

// In the link run the program is this process: where its engine and reader
// stood when a run hung, so that a hang seen once can be placed.
static void printProgramState(void)
{
    TtyState *tty = GetTtyState(mainWindow);
    ReaderLink *reader = tty ? tty->reader : nullptr;
    printf("         program: upload state %d, image user %d, image %s, watches: start %d prompt %d acks %d %d, "
           "handshake at %d, port %s, reader %d\n", int(upload.uploadState), int(upload.imageUser),
           upload.imageFile ? "open" : "none", int(upload.startWatch), int(upload.promptWatch), int(upload.ackWatch1),
           int(upload.ackWatch2), int(upload.handshakePos), tty && tty->connected ? "open" : "closed",
           reader ? int(reader->state) : -1);
    // Every window of the reader's thread, shown or not: a page it is still making is hidden.
    if (tty && tty->readerThreadId)
        EnumThreadWindows(tty->readerThreadId, [](HWND window, LPARAM) {
            char name[64] = "";
            GetClassNameA(window, name, sizeof name);
            printf("         reader's window: class \"%s\"%s\n", name, IsWindowVisible(window) ? ", shown" : ", hidden");
            return TRUE;
        }, 0);
}

// A window's text, asked with a bound: the thread that runs it may be the
// one that hung.
static std::string textOf(HWND window)
{
    char text[160] = "";
    DWORD_PTR ignored;
    if (window)
        SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, LPARAM(text), SMTO_ABORTIFHUNG, 1000, &ignored);
    std::string flat = text;
    for (char &c : flat)
        c = c == '\n' || c == '\r' ? ' ' : c;
    return flat;
}

// What a hung run left showing, with the thread of each (the main one or the
// reader) and a message box's text, and the box's last words, whatever they are.
static void printHangScene(App &app)
{
    for (HWND window : VisibleDialogs(app.process.dwProcessId))
        printf("         showing: %s page \"%s\" on the %s thread%s: \"%s\"\n", pageName(PageKindOf(window)),
               textOf(window).c_str(), onMainThread(app, window) ? "main" : "other",
               IsWindowEnabled(window) ? "" : " (disabled)", textOf(GetDlgItem(window, 0xFFFF)).c_str());
    std::string log = BoxLog();
    size_t from = log.size();
    for (int lines = 0; lines <= 12 && from > 0 && from != std::string::npos; lines++)
        from = from >= 2 ? log.rfind('\n', from - 2) : 0;
    printf("         the box's log ends (%u bytes in all):\n%s\n", unsigned(log.size()),
           log.substr(from == std::string::npos ? 0 : from).c_str());
}

static void printUsageAt(const char *when, int run, const Usage &usage)
{
    printf("%s run %4d: rss %.1f MiB (peak %.1f MiB), %d open descriptors\n", when, run, usage.residentMiB,
           usage.peakMiB, usage.descriptors);
}

// Judges one walked run, adds it to the tally and prints its line (in the
// link run only when it went wrong).
static void judgeRun(const RunMode &mode, int run, const RunPlan &plan, const RunRecord &rec, Tally *tally,
                    const Usage &now)
{
    std::string log = BoxLog();
    int failed = rec.failures > 0;
    int intact = log.find("verdict=complete") != std::string::npos && ReceivedEquals(rec.expected);
    int completed = rec.completions > 0;
    int wrong = completed && (!intact || !mayComplete(plan.fault, log, rec.struck) || failed);
    int earlierImage = completed && rec.fileDialogs == 0;   // no file dialog this run: an image chosen before
    int missed = FAULTS[plan.fault].mustComplete && !(plan.fault == FAULT_QUICK_RETRY && plan.silentRetry) &&
                 !completed && !rec.hang;
    int noImageOpen = plan.fault == FAULT_HANDSHAKE_FIRST && rec.engineFileDialogs > 0;
    int boxCompleteButFailed = failed && !completed && VerdictOf(log) == "complete";
    std::string afterSecond = logAfter(log, "event=rehandshake");
    int rehandshook = plan.fault == FAULT_REHANDSHAKE && !afterSecond.empty() && failed;
    int answeredAfterFailure = rehandshook && answeredIn(afterSecond);
    int heardAfterFailure = rehandshook && heardAfter(afterSecond);
    std::string afterLate = logAfter(log, "event=late-handshake\n");
    int lateAnswered = answeredIn(afterLate);
    // the image's own length again (bytes of the reboot command taken for a length are none)
    std::string ownLength = "event=length bytes=" + std::to_string(plan.size) + "\n";
    int secondTransfer = afterLate.find(ownLength) != std::string::npos || rec.completions >= 2;
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
    // What the run adds to each total, what its line says when that is not 0
    // (in this order), and whether the run went wrong by it.
    const struct { int value; int Tally::*total; std::string note; int bad; } findings[] = {
        { rec.hang, &Tally::hangs, "", 1 },
        { completed, &Tally::completions, "", 0 },
        { completed && intact, &Tally::identical, "", 0 },
        { failed, &Tally::failureRuns, "", 0 },
        { wrong, &Tally::wrongSuccesses, "", 1 },
        { (rec.failures >= 2) + rec.stale, &Tally::doubleReports,
          rec.failures >= 2 ? ", " + std::to_string(rec.failures) + " FAILURE PAGES" : "", 1 },
        { rec.stale, &Tally::staleReports, ", " + std::to_string(rec.stale) + " STALE FAILURE PAGE(S)", 1 },
        { rec.staleCompletions, &Tally::staleCompletions, ", the abandoned attempt's completion page", 0 },
        { rec.leftOpen, &Tally::leftOpen, ", LEFT OPEN: " + rec.leftKinds, 1 },
        { rec.afterEnd, &Tally::afterEnd, ", PAGES AFTER THE END: " + rec.afterKinds, 1 },
        { missed, &Tally::missed, ", MISSED", 1 },
        { rec.noWayBack, &Tally::noWayBack, ", NO WAY BACK WITHOUT THE PORT", 1 },
        { boxCompleteButFailed, &Tally::boxCompleteButFailed, ", the box's verdict complete", 0 },
        { rec.notRebooted, &Tally::notRebooted, ", not rebooted, told", 0 },
        { answeredAfterFailure, &Tally::answeredAfterFailure, ", ANSWERED A HANDSHAKE AFTER THE FAILURE REPORT",
          1 },
        { heardAfterFailure, &Tally::heardAfterFailure, answeredAfterFailure ? "" : ", BYTES AFTER THE FAILURE REPORT",
          1 },
        { rehandshook, &Tally::rehandshakes, "", 0 },
        { rehandshook && rec.rehandshakeEarly, &Tally::rehandshakeEarly,
          ", (second handshake before the failure page)", 0 },
        { lateAnswered, &Tally::lateAnswered,
          rec.lateDialogs ? ", late handshake answered (file dialog cancelled)" : ", late handshake answered", 0 },
        { secondTransfer, &Tally::secondTransfers, ", A SECOND TRANSFER", 1 },
        { rec.engineFileDialogs, &Tally::engineChose, "", 0 },
        { plan.fault == FAULT_HANDSHAKE_FIRST && !noImageOpen && completed, &Tally::imageReused, "", 0 },
        { earlierImage, &Tally::earlierImage, "", 0 },
        { plan.fault == FAULT_QUICK_RETRY && plan.silentRetry, &Tally::silentRetries, "", 0 },
        { rec.retried, &Tally::shiftRetries, "", 0 },
        { completed && !failed && !rec.rebootSeen, &Tally::rebootsMissing, "", 0 },
        { rec.slowChoices, &Tally::slowChoices, "", 0 },
        { !afterLate.empty(), &Tally::lateHandshakes, "", 0 },
        { rec.lateDialogs, &Tally::lateDialogs, "", 0 },
    };
    int anomalous = 0;
    for (const auto &finding : findings) {
        tally->*finding.total += finding.value;
        if (finding.value) {
            outcome += finding.note;
            anomalous |= finding.bad;
        }
    }
    tally->runs++;
    tally->anomalous += anomalous;
    tally->faults[plan.fault]++;
    tally->completedBy[plan.fault] += completed;
    tally->failedBy[plan.fault] += failed;
    std::string detail = FaultText(FAULTS[plan.fault].detail, plan.number, plan.faultMs);
    if (plan.fault == FAULT_QUICK_RETRY)
        detail = plan.silentRetry ? "box silent"
               : "Shift+PgUp +" + std::to_string(plan.retryMs) + " ms" + (rec.retried ? "" : " (not sent)");
    else if (plan.fault == FAULT_HANDSHAKE_FIRST)
        detail = noImageOpen ? "engine chose" : "image was open";
    int everyReport = getenv("FLASHDRIVE_BOX_REPORT") != nullptr;
    if (mode.everyRun || anomalous || everyReport)
        printf("run %4d  %-18s %-24s %6u bytes  %s  rss %5.1f MiB  files %d\n", run, FAULTS[plan.fault].name,
               detail.c_str(), unsigned(plan.size), outcome.c_str(), now.residentMiB, now.descriptors);
    if (anomalous || everyReport)
        printBoxReport(log);
    if (completed && !intact)
        printf("         %s\n", DescribeReceived(rec.expected).c_str());
}

static void printSummary(const RunMode &mode, uint32_t seed, int done, int runs, double seconds, const Tally &t,
                         DWORD exitCode)
{
    printf("\n%s summary (seed %u, %d of %d runs, %.0f s, %.2f s a run, tick %.1f ms as it came)\n", mode.name,
           unsigned(seed), done, runs, seconds, done ? seconds / done : 0.0, tickMs);
    printf("runs %d  completions %d  identical images %d  failure runs %d  wrong successes %d  "
           "double failure reports %d (stale %d)  pages left open %d (%d showing at the next run, %d opened after "
           "the end)  hangs %d  missed completions %d  no way back %d  reconnects %d  exit code %lu\n",
           t.runs, t.completions, t.identical, t.failureRuns, t.wrongSuccesses, t.doubleReports, t.staleReports,
           t.leftOpen + t.afterEnd, t.leftOpen, t.afterEnd, t.hangs, t.missed, t.noWayBack, t.reconnects, exitCode);
    printf("no-image-handshake: engine's own file dialogs %d, completions with the image still open %d;  "
           "quick-retry: box silent %d, Shift+PageUp sent %d, the abandoned attempt's completion page %d;  "
           "completions of an image chosen before the run %d;  box verdict complete but failure reported %d;  "
           "reboot not typed %d\n",
           t.engineChose, t.imageReused, t.silentRetries, t.shiftRetries, t.staleCompletions, t.earlierImage,
           t.boxCompleteButFailed, t.rebootsMissing);
    printf("not rebooted, told %d (uploads whose port closed in their last second);  answered a handshake after a "
           "failure report %d, bytes after a failure report %d (rehandshake: %d second handshakes after the "
           "failure, %d of them before its page showed);  no-image-handshake: file dialogs answered after the prompt "
           "watch %d;  late-handshake: %d sent, answered %d, the engine's file dialog after the completion %d "
           "(cancelled), second transfers %d\n",
           t.notRebooted, t.answeredAfterFailure, t.heardAfterFailure, t.rehandshakes, t.rehandshakeEarly,
           t.slowChoices, t.lateHandshakes, t.lateAnswered, t.lateDialogs, t.secondTransfers);
    printf("fault                runs  completed  failed\n");
    for (int f = 0; f < mode.faults; f++)
        printf("%-18s %6d  %9d  %6d\n", FAULTS[f].name, t.faults[f], t.completedBy[f], t.failedBy[f]);
}

// The runs against a program already started; 1 when nothing went wrong.
static int runAll(App &app, const RunMode &mode, int runs, uint32_t seed, const char *onlyFault)
{
    int each = onlyFault && strcmp(onlyFault, "each") == 0;
    std::vector<int> faults;
    if (onlyFault && (faults = ParseFaults(onlyFault, mode.faults)).empty()) {
        fprintf(stderr, "unknown fault in %s\n", onlyFault);
        return 0;
    }
    Tally tally = {};
    static const int marks[] = { 1, 10, 100, 1000 };
    Usage usageAt[4] = {};
    Bytes lastChosen;
    DWORD started = GetTickCount();
    const char *minutes = getenv("ROBUST_MINUTES");
    DWORD budgetMs = minutes ? DWORD(atof(minutes) * 60000.0) : 0;
    int done = 0, outOfTime = 0;
    for (int run = 1; run <= runs; run++) {
        if (budgetMs && GetTickCount() - started >= budgetMs) {
            outOfTime = 1;
            printf("time limit of %s minutes reached: no more runs begin\n", minutes);
            break;
        }
        RunPlan plan = planRun(mode, run, seed, faults, each);
        if (plan.image.empty())
            break;
        StartBox(plan.options);
        RunRecord rec = {};
        walkRun(app, mode, plan, &rec, &lastChosen);
        if (plan.fault == FAULT_PTY_GONE && rec.nextPort && rec.failures > 0 && !reopenWithoutPort(app, &rec, &tally))
            rec.noWayBack = 1;
        if (rec.nextPort)
            collectLeftOpen(app, mode, &rec);
        Usage now = UsageOf(app, mode.program);
        judgeRun(mode, run, plan, rec, &tally, now);
        if (rec.hang || getenv("FLASHDRIVE_BOX_REPORT")) {
            if (&mode == &LINK_MODE)
                printProgramState();
            printHangScene(app);
        }
        if (rec.hang && getenv("FLASHDRIVE_HOLD_ON_HANG")) {   // for a debugger to attach
            printf("         holding: process %lu\n", GetCurrentProcessId());
            fflush(stdout);
            Sleep(INFINITE);
        }
        for (int m = 0; m < 4; m++)
            if (run == marks[m])
                usageAt[m] = now;
        done = run;
        if (!mode.everyRun && run % PROGRESS_EVERY == 0)
            printf("after %4d runs: %d completed, %d failed, %d wrong, %d double, %d left open, %d hangs, %d missed, "
                   "%d not rebooted (told), %d answered after a failure, %d second transfers  rss %.1f MiB  %.1f s\n",
                   run, tally.completions, tally.failureRuns, tally.wrongSuccesses, tally.doubleReports,
                   tally.leftOpen + tally.afterEnd, tally.hangs, tally.missed, tally.notRebooted,
                   tally.answeredAfterFailure + tally.heardAfterFailure, tally.secondTransfers, now.residentMiB,
                   (GetTickCount() - started) / 1000.0);
        if (rec.hang || !rec.nextPort)
            break;   // nothing more can be driven
    }
    double seconds = (GetTickCount() - started) / 1000.0;
    Usage last = UsageOf(app, mode.program);
    DWORD exitCode = CloseProgram(app);
    StopBox();
    printSummary(mode, seed, done, runs, seconds, tally, exitCode);
    for (int m = 0; m < 4; m++)
        if (done >= marks[m])
            printUsageAt("at", marks[m], usageAt[m]);
    printUsageAt("at the end,", done, last);
    return tally.anomalous == 0 && (done == runs || outOfTime) && exitCode == 0;
}

// ------------------------------------------- the program in this process

static WNDPROC programProc;
static double lastTickAt;

// Stands in front of the program's main window procedure only to make its
// tick faster (on the window's own thread, as SetTimer needs) and to time
// the tick as it comes while the thread takes its messages (a gap while it
// waited elsewhere is not a tick's period).
static LRESULT CALLBACK fasterTick(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER) {
        double now = ReadSeconds(), ms = 1000.0 * (now - lastTickAt);
        if (lastTickAt == 0)
            SetTimer(window, wParam, LINK_TICK_MS, nullptr);
        else if (ms < 2.0 * LINK_TICK_MS)
            tickMs += (ms - tickMs) / 64.0;
        lastTickAt = now;
    }
    return CallWindowProcA(programProc, window, message, wParam, lParam);
}

static int runLink(int runs, uint32_t seed, const char *faults)
{
    tickMs = LINK_TICK_MS;
    StartBox("");
    std::thread program([] { WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<char *>(""), SW_SHOWNORMAL); });
    App app;   // the program in this process: never "ended", closed by its window
    app.process.hProcess = GetCurrentProcess();
    app.process.dwProcessId = GetCurrentProcessId();
    int ok = PumpUntil([&] { return MainWindowOf(app) != nullptr; }, HANG_MS);
    if (ok) {
        programProc = WNDPROC(SetWindowLongPtrA(MainWindowOf(app), GWLP_WNDPROC, LONG_PTR(fasterTick)));
        printf("link: %d runs, seed %u; the program's tick every %d ms instead of %d, so its watchdogs run out "
               "ten times sooner (ack %d ms, start and prompt %d ms); the box's own time-outs are not scaled; "
               "unpaced box, images %u..%u bytes\n", runs, unsigned(seed), LINK_TICK_MS, TICK_MS,
               TICKS_ACK * LINK_TICK_MS, TICKS_START * LINK_TICK_MS, LINK_MODE.minBytes, LINK_MODE.maxBytes);
        ok = runAll(app, LINK_MODE, runs, seed, faults);
    }
    if (MainWindowOf(app))
        program.detach();   // it did not close: the process's exit ends it
    else
        program.join();
    return ok;
}

static int runGui(int runs, uint32_t seed, const char *faults)
{
    App app;
    StartBox("");
    if (!Launch(app)) {
        printf("cannot start the program: error %lu\n", GetLastError());
        return 0;
    }
    return runAll(app, GUI_MODE, runs, seed, faults);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *mode = argc >= 2 ? argv[1] : "";
    uint32_t seed = argc >= 4 ? uint32_t(strtoul(argv[3], nullptr, 0)) : 1u;
    if (argc >= 3 && (strcmp(mode, "robust") == 0 || strcmp(mode, "link") == 0) && atoi(argv[2]) > 0)
        return (mode[0] == 'r' ? runGui : runLink)(atoi(argv[2]), seed, argc >= 5 ? argv[4] : nullptr) ? 0 : 1;
    if (argc >= 3 && strcmp(mode, "upload") == 0) {
        std::string box = "--pace";
        for (int i = 3; i < argc; i++)
            box += std::string(" ") + argv[i];
        return BenchUpload(uint32_t(strtoul(argv[2], nullptr, 0)), box) ? 0 : 1;
    }
    if (argc >= 3 && strcmp(mode, "idle") == 0)
        return BenchIdle(atoi(argv[2])) ? 0 : 1;
    if (strcmp(mode, "writecost") == 0)
        return BenchWriteCost() ? 0 : 1;
    fprintf(stderr, "usage: flashdrive robust|link RUNS [SEED [FAULT,...|each]] | upload SIZE [BOX-OPTION...] | "
                    "idle SECONDS | writecost\n");
    return 2;
}
