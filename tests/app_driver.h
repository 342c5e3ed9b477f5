// Drives the real program as a user would: starts TesselFlash.exe (or finds
// it in this process), finds its pages by their controls, presses their
// buttons and keys, types real keys on the display and answers the file
// dialog. Serves the program's tests, the robustness runs and the benchmark.
#ifndef TESSEL_APP_DRIVER_H
#define TESSEL_APP_DRIVER_H

#include "tests/port_harness.h"
#include <functional>
#include <set>
#include <string>
#include <vector>

struct App {
    PROCESS_INFORMATION process = {};
    bool running = false;      // started by Launch: WaitExit ends it
    std::set<HWND> answered;   // pages already pressed: they may still be closing
};

int Launch(App &app);
// The program running in this process (its WinMain on another thread).
App ThisProcess(void);
// Waits for the program's exit; ends it by force (code 99) after the time is up.
DWORD WaitExit(App &app, DWORD timeoutMs);
// Asks the program to close as its close box does; its exit code.
DWORD CloseProgram(App &app);
HWND WaitPage(App &app, PageKind kind, DWORD timeoutMs);
HWND MainWindowOf(App &app);
void Press(HWND dialog, int id);
// Returns once the thread of WINDOW has handled what was posted or typed to
// it before the call, so that a check that nothing happened cannot pass only
// because the program was slow.
void WaitHandled(HWND window);
// The button a user presses to go on from a page that needs nothing else.
int GoOnButtonOf(PageKind kind);
int IsFailurePage(PageKind kind);
const char *PageName(PageKind kind);
struct ShownPage {
    HWND page;
    PageKind kind;
};
// The program's pages on screen that are not answered yet, leaving out the
// ones no run answers (About, and windows that are no page).
std::vector<ShownPage> NewPages(App &app);
// A key pressed TIMES over where the page's thread has its keyboard focus,
// so that the page's own modal loop handles it as it handles the keyboard;
// each is handled before the next is sent.
void PressKey(HWND page, UINT key, int times = 1);
// Real key events on the display (xdotool names, e.g. "shift+Prior alt b"),
// with WINDOW given the focus first: for keys whose Shift or Alt state counts.
void TypeKeys(HWND window, const std::string &keys);
// A real mouse click on the close box of a top-level window.
void ClickCloseBox(HWND window);
// Runs a command line of the machine's own shell; what it printed.
std::string RunShell(const std::string &command);
void ChooseFile(HWND fileDialog, const std::string &path);
// Saves the top left of the screen, where the pages open, as NAME.png in the
// folder $TESSEL_SHOTS names (ImageMagick's import).
void Shot(const char *name);
// The list index of the box's port ($TESSEL_COM_INDEX, COM7 by default).
int BoxPortIndex(void);

// What a hook tells the walk to do with a new page.
enum { DRIVE_ANSWER, DRIVE_LEAVE, DRIVE_STOP };
struct DrivePlan {
    std::string image;              // the file given to the file dialog
    int portIndex = 0;
    PageKind stopAt = PAGE_OTHER;   // leave this page showing and return
    int stopAtEnd = 1;              // return once an end page is answered
    DWORD quietMs = 40000;          // longest time with no new page and no progress
    DWORD paintMs = 150;            // a new page paints and takes its focus first
    // Each new page before it is answered: DRIVE_ANSWER answers it as below,
    // DRIVE_LEAVE leaves it to the hook, DRIVE_STOP returns with it unanswered.
    std::function<int(HWND, PageKind)> onPage;
    std::function<void(int)> onPercent;
    // Every round of the walk; 1 when it acted (the program is moving).
    std::function<int()> onRound;
};
struct DriveResult {
    PageKind end = PAGE_OTHER;      // the first end page; PAGE_OTHER: none came
    int stalled = 0;                // nothing new for quietMs, or the program ended
    int highestPercent = -1;
    int percentWentBack = 0;
    int pages = 0;
};
// Answers every page from wherever the program is: Next, OK, the image,
// Continue, the box's power-on at the connect page. An end page (completion
// or failure) gets its OK unless it is stopAt.
DriveResult DriveWizard(App &app, const DrivePlan &plan);

#endif
