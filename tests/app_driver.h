// Drives the real TesselFlash.exe as a user would: starts it, finds its pages
// by their controls, presses their buttons and keys, types real keys on the
// display and answers the file dialog. Used by the program's tests and by the
// benchmark and robustness tools.
#ifndef TESSEL_APP_DRIVER_H
#define TESSEL_APP_DRIVER_H

#include "tests/port_harness.h"
#include <functional>
#include <set>
#include <string>
#include <vector>

struct App {
    PROCESS_INFORMATION process = {};
    bool running = false;
    std::set<HWND> answered;   // pages already pressed: they may still be closing
};

int Launch(App &app);
// Waits for the program's exit; ends it by force (code 99) after the time is up.
DWORD WaitExit(App &app, DWORD timeoutMs);
HWND WaitPage(App &app, PageKind kind, DWORD timeoutMs);
HWND MainWindowOf(App &app);
void Press(HWND dialog, int id);
// The button a user presses to go on from a page that needs nothing else.
int GoOnButtonOf(PageKind kind);
struct ShownPage {
    HWND page;
    PageKind kind;
};
// The program's pages on screen that are not answered yet, leaving out the
// ones no run answers (About, and windows that are no page).
std::vector<ShownPage> NewPages(App &app);
// A key pressed TIMES over where the page's thread has its keyboard focus,
// so that the page's own modal loop handles it as it handles the keyboard.
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

struct DrivePlan {
    std::string image;              // the file given to the file dialog
    int portIndex = 0;
    PageKind stopAt = PAGE_OTHER;   // leave this page showing and return
    DWORD quietMs = 40000;          // longest time with no new page and no progress
    std::function<void(int)> onPercent;
};
struct DriveResult {
    PageKind end = PAGE_OTHER;      // PAGE_OTHER: the program stopped moving
    int highestPercent = -1;
    int percentWentBack = 0;
    int pages = 0;
};
// Answers every page from wherever the program is: Next, OK, the image,
// Continue, the box's power-on at the connect page. A run ends on the
// completion page or a failure page; its OK is pressed unless it is stopAt.
DriveResult DriveWizard(App &app, const DrivePlan &plan);

#endif
