// Drives the real program as a user would: starts TesselFlash.exe (or works
// the one running in this process), finds its pages by their controls,
// presses their buttons and keys, types real keys on the display and answers
// the file dialog. Serves the program's tests, the robustness runs and the
// benchmark.
#ifndef TESSEL_APP_DRIVER_H
#define TESSEL_APP_DRIVER_H

#include "tests/port_harness.h"
#include <functional>
#include <set>
#include <string>

struct App {
    PROCESS_INFORMATION process = {};
    bool running = false;      // started by Launch: WaitExit ends it
    std::set<HWND> answered;   // pages already pressed: they may still be closing
};

int Launch(App &app);
// Waits for the program's exit; ends it by force (code 99) after the time is up.
DWORD WaitExit(App &app, DWORD timeoutMs);
DWORD CloseProgram(App &app);   // as its close box does; the exit code
HWND WaitPage(App &app, PageKind kind, DWORD timeoutMs);
HWND MainWindowOf(App &app);
// A few round trips to WINDOW's thread, for a check that nothing happened:
// they do not prove that a posted key was handled (under load the thread
// takes other queued work first), so a key a check depends on is waited
// for by its own effect (a page closing, the focus moving).
void WaitHandled(HWND window);
// The keyboard focus of the page's thread (the page itself when it has none).
HWND FocusOf(HWND page);
// A key's down and up posted to TARGET, to pass through the loop of TARGET's page.
void PostKey(HWND target, UINT key);
// A key pressed TIMES at the focus of the page's thread, for the page's own loop, with WaitHandled after each.
void PressKey(HWND page, UINT key, int times = 1);
// Real keys on the display to WINDOW (xdotool names, "shift+Prior alt b"): where Shift or Alt counts.
void TypeKeys(HWND window, const std::string &keys);
void ClickCloseBox(HWND window);   // a real mouse click
std::string RunShell(const std::string &command);   // the machine's own shell; what it printed
void ChooseFile(HWND fileDialog, const std::string &path);
// The top left of the screen, where the pages open, as $TESSEL_SHOTS/NAME.png.
void Shot(const char *name);
int BoxPortIndex(void);   // the list index of the box's port ($TESSEL_COM_INDEX, COM7 by default)

struct DrivePlan {
    std::string image;              // the file given to the file dialog
    int portIndex = 0;
    PageKind stopAt = PAGE_OTHER;   // leave this page showing and return
    int stopAtEnd = 1;              // return once an end page is answered
    DWORD quietMs = 40000;          // longest time with no new page and no progress
    DWORD paintMs = 150;            // a new page paints and takes its focus first
    // Each new page before it is answered; 1 returns with it unanswered.
    std::function<int(HWND, PageKind)> onPage;
    std::function<void(int)> onPercent;
    std::function<int()> onRound;   // every round; 1 when it acted (the program is moving)
};
struct DriveResult {
    PageKind end = PAGE_OTHER;      // the first end page; PAGE_OTHER: none came
    int stalled = 0;                // nothing new for quietMs, or the program ended
    int highestPercent = -1;
    int percentWentBack = 0;
};
// Answers every page from wherever the program is: Next, OK, the image,
// Continue, the box's power-on at the connect page. An end page (completion
// or failure) gets its OK unless it is stopAt.
DriveResult DriveWizard(App &app, const DrivePlan &plan);

#endif
