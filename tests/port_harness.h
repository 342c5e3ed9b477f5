// Test harness for the serial link under Wine: a stand-in main window that
// owns a real TtyState, a thread that answers the wizard's pages as a user
// would, and the far ("box") end of a pty pair opened as a plain COM port.
#ifndef TESSEL_PORT_HARNESS_H
#define TESSEL_PORT_HARNESS_H

#include "serial/serial.h"
#include <atomic>
#include <functional>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

enum PageKind {
    PAGE_OTHER, PAGE_PORT, PAGE_CABLE, PAGE_DISCONNECT, PAGE_CONNECT, PAGE_COMPLETED, PAGE_WARNING,
    PAGE_WELCOME, PAGE_OPEN_FAILED, PAGE_COMM_FAILED, PAGE_FAIL_MAINS, PAGE_INVALID_FILE, PAGE_PROGRESS,
    PAGE_FILE, PAGE_ABOUT,
};
PageKind PageKindOf(HWND dialog);
// Visible dialogs of a process (0: this one).
std::vector<HWND> VisibleDialogs(DWORD processId);
std::string ControlText(HWND dialog, int id);

// The answer given to a page: a button id to press (0 leaves it alone), and
// for the port page the list index to choose first (-1 keeps the choice).
struct PageAnswer {
    int button;
    int portIndex;
};
typedef std::function<PageAnswer(PageKind, HWND)> PageResponder;
// What a user presses on a page that needs nothing else: Next, OK, Continue.
int GoOnButtonOf(PageKind kind);
int IsFailurePage(PageKind kind);
void Press(HWND dialog, int id);
// The one way a page is answered: the answer's port chosen on the port page
// (-2: none), then its button pressed; with none the page is left alone, but
// at the connect page the box is powered on, which makes the program end it.
void AnswerPage(HWND page, PageKind kind, PageAnswer answer);

HWND CreateTestMainWindow(WNDPROC extra);
void DestroyTestMainWindow(HWND window);

void StartAnsweringPages(PageResponder responder);
void StopAnsweringPages(void);
std::vector<PageKind> PagesSeen(void);

HANDLE OpenBoxEnd(const char *name);
void WriteBoxEnd(HANDLE port, const Bytes &bytes);
Bytes ReadBoxEnd(HANDLE port, size_t wanted, DWORD timeoutMs);

// The bound of every wait for something that is to come: it only catches a
// hang, so a slow or busy machine never reaches it in normal work.
const DWORD HANG_MS = 60000;

// Runs this thread's messages until done() or the time is up; 1 if done.
int PumpUntil(const std::function<bool()> &done, DWORD timeoutMs);

// The box simulator, started afresh with the given options for each test.
void StartBox(const std::string &options);
void StopBox(void);
void PowerOnBox(void);
std::string BoxLog(void);
int WaitBoxLog(const std::string &needle, DWORD timeoutMs);   // pumps messages meanwhile
std::string BoxDirectory(void);   // the simulator's folder as a Windows path
std::string ReadTextFile(const std::string &path);
void AppendTextFile(const std::string &path, const std::string &text);

#endif
