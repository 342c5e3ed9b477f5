// An upload without the GUI: the real serial code, engine and tick against
// the box simulator on a pty, unpaced. A stand-in main window does what the
// real one does with the engine's commands, but picks the image by path.
#include "tests/port_harness.h"
#include "tests/upload_harness.h"
#include "upload/upload.h"
#include "app/app.h"
#include "app/ids.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <thread>

namespace {

bool seen(PageKind kind)
{
    std::vector<PageKind> pages = PagesSeen();
    return std::find(pages.begin(), pages.end(), kind) != pages.end();
}

const int INDEX_COM7 = 6;
std::string chosenImage;
std::atomic<int> commands[CMD_MONITOR_FOUND + 1];   // how often each command came
std::atomic<int> notRebooted{ 0 };   // how often the main window was told the box was not rebooted

// Ticks, and on a prompt picks the image by path and starts the typed commands.
LRESULT CALLBACK standInMain(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER)
        UploadTimerTick(window);
    if (message == WM_NOT_REBOOTED)
        notRebooted++;
    if (message == WM_CHOOSE_FOR_BOX)
        return 1 + ChooseFirmwareImage(window, 0);
    if (message != WM_COMMAND || LOWORD(wParam) > CMD_MONITOR_FOUND)
        return message == WM_TIMER;
    commands[LOWORD(wParam)]++;
    if (LOWORD(wParam) == CMD_MONITOR_FOUND) {
        if (connectDialog)
            PostMessageA(connectDialog, WM_COMMAND, IDOK, 0);
        if (ChooseImage(window, chosenImage) == 0)
            StartCommandSequence();
    }
    return 1;
}

// The wizard as a user answers it, powering the box on at the connect page.
PageAnswer answerWizard(PageKind kind, HWND)
{
    return { kind == PAGE_CONNECT ? 0 : GoOnButtonOf(kind), INDEX_COM7 };
}

class Link : public ::testing::Test {
protected:
    HWND window = nullptr;
    Bytes image;

    void SetUp() override
    {
        ResetUpload();
        for (auto &count : commands)
            count = 0;
        notRebooted = 0;
        window = CreateTestMainWindow(standInMain);
        ASSERT_NE(nullptr, window);
        SetTimer(window, 1, 250, nullptr);
    }
    void TearDown() override
    {
        StopAnsweringPages();
        ClosePort(window);
        DestroyTestMainWindow(window);
        StopBox();
        ResetUpload();
    }
};

// The box rejects block 2 and shakes hands again: the transfer starts over,
// the box ends with a byte-identical image and the commands in order.
TEST_F(Link, RejectedTransferStartsOverAndTheWholeImageArrivesIntact)
{
    chosenImage = WriteImage("link.bin", ValidImage(300 * 1024 + 77, ALT_HEADER_OFFSET), &image);
    StartBox("--reject 2 --reject-byte F0 --rehandshake");
    StartAnsweringPages(answerWizard);
    ASSERT_NE(0, OpenPort(window));
    ASSERT_TRUE(WaitBoxLog("verdict=complete", 120000)) << BoxLog();
    EXPECT_TRUE(ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image) << "the box's copy is byte-identical";
    EXPECT_EQ(2, commands[CMD_SHOW_PROGRESS]) << "the new handshake starts a new transfer";
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", HANG_MS)) << BoxLog();
    EXPECT_NE(std::string::npos, BoxLog().find("commands=s,mon,q 0xbfbf9000")) << "the commands in order";
    EXPECT_EQ(0, commands[CMD_FAIL_RETRY] + commands[CMD_NO_RESPONSE]) << "no failure";
    EXPECT_EQ(nullptr, upload.imageFile);
}

// The port closes in the second after the last acknowledgement or under
// the completion page (a new attempt, Disconnect): the page, which promises
// a reboot, ends or never shows, ClosePort does not wait for the user, and
// the main window is told that the box was not rebooted, once.
TEST_F(Link, CompletionAfterThePortClosedSaysTheBoxWasNotRebooted)
{
    chosenImage = WriteImage("lastsecond.bin", ValidImage(3000, 0), &image);
    StartBox("");
    StartAnsweringPages([](PageKind kind, HWND dialog) {
        return kind == PAGE_COMPLETED ? PageAnswer{ 0, -1 } : answerWizard(kind, dialog);   // the user is away
    });
    ASSERT_NE(0, OpenPort(window));
    ASSERT_TRUE(WaitBoxLog("verdict=complete", HANG_MS)) << BoxLog();
    // A page left waiting for the user would hold ClosePort: OK is pressed
    // for it only after a minute, so a hang shows as a failure, not a stall.
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> rescued{ 0 };
    std::thread rescue([&] {
        if (WaitForSingleObject(closed, HANG_MS) == WAIT_OBJECT_0)
            return;
        for (HWND page : VisibleDialogs(0))
            rescued += PageKindOf(page) == PAGE_COMPLETED && PostMessageA(page, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(1, ClosePort(window));
    SetEvent(closed);
    rescue.join();
    CloseHandle(closed);
    EXPECT_EQ(0, rescued.load()) << "ClosePort waited for the user on the completion page";
    EXPECT_TRUE(PumpUntil([] { return notRebooted == 1; }, HANG_MS)) << "the box was not rebooted: said once";
    EXPECT_TRUE(PumpUntil([] { return VisibleDialogs(0).empty(); }, HANG_MS)) << "no page left open";
    EXPECT_EQ(std::string::npos, BoxLog().find("text=boot")) << "nothing typed to a closed port";
    EXPECT_EQ(0, commands[CMD_FAIL_RETRY] + commands[CMD_NO_RESPONSE]) << "no failure";
}

// A box that asks first gets its file dialog from the main window's thread,
// which lives as long as the program: under Wine each new thread that opens
// one leaves a COM endpoint behind, and on the 64th reader thread's dialog
// the program hung for good.
std::atomic<DWORD> fileDialogThread{ 0 };

TEST_F(Link, BoxThatAsksFirstGetsItsFileDialogFromTheMainThread)
{
    fileDialogThread = 0;
    StartBox("--handshake-first --rx-timeout 60000");
    StartAnsweringPages([](PageKind kind, HWND dialog) {
        if (kind == PAGE_CONNECT)
            PowerOnBox();   // and OK at once: the box will ask for data without a prompt
        if (kind == PAGE_FILE)
            fileDialogThread = GetWindowThreadProcessId(dialog, nullptr);
        return kind == PAGE_FILE || kind == PAGE_CONNECT ? PageAnswer{ kind == PAGE_FILE ? IDCANCEL : IDOK, -1 }
                                                         : answerWizard(kind, dialog);
    });
    ASSERT_NE(0, OpenPort(window));
    ASSERT_TRUE(PumpUntil([] { return fileDialogThread != 0; }, HANG_MS)) << BoxLog();
    EXPECT_EQ(GetCurrentThreadId(), fileDialogThread.load());
    EXPECT_EQ(1, ClosePort(window));
}

// Failures reported under another page's loop (About) show their pages
// there, but the new wizard starts only from the main loop, never one page
// deeper, and two failures in a row start it once.
std::atomic<int> portPageInside{ 0 };

void CALLBACK endAboutOnceFailureAnswered(HWND, UINT, UINT_PTR timer, DWORD)
{
    // A timer comes only once no posted message waits: the failure page's
    // request for a new wizard has been handled by now. The About page shows
    // itself only when its loop first finds nothing to do, which may come
    // after this tick: wait for it rather than stop with About still up.
    if (!seen(PAGE_FAIL_MAINS))
        return;
    HWND about = nullptr;
    for (HWND page : VisibleDialogs(0)) {
        if (PageKindOf(page) == PAGE_FAIL_MAINS)
            return;
        portPageInside += PageKindOf(page) == PAGE_PORT;
        if (PageKindOf(page) == PAGE_ABOUT)
            about = page;
    }
    if (!about)
        return;
    PostMessageA(about, WM_COMMAND, IDOK, 0);
    KillTimer(nullptr, timer);
}

TEST_F(Link, WizardStartsOverOnlyFromTheMainLoop)
{
    const WNDCLASSA windowClass = { 0, MainWindowProc, 0, sizeof(LONG_PTR), GetModuleHandleA(nullptr),
                                    nullptr, nullptr, nullptr, nullptr, "TesselLinkMain" };
    RegisterClassA(&windowClass);
    HWND main = CreateWindowExA(0, "TesselLinkMain", "main", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, main);
    HWND standIn = mainWindow;
    mainWindow = main;
    StartAnsweringPages([](PageKind kind, HWND) {   // TELNET, which does not open; About is the timer's
        return PageAnswer{ kind == PAGE_ABOUT ? 0 : GoOnButtonOf(kind), 8 };
    });
    PostMessageA(main, WM_COMMAND, CMD_FAIL_RETRY, 0);   // two failures in a row
    PostMessageA(main, WM_COMMAND, CMD_FAIL_RETRY, 0);
    SetTimer(nullptr, 0, 100, endAboutOnceFailureAnswered);
    ShowPage(main, DLG_ABOUT, AboutDlgProc, 0);
    EXPECT_FALSE(seen(PAGE_PORT)) << "no wizard inside the About page";
    EXPECT_EQ(0, portPageInside.load());
    RunPendingWizard(main);
    RunPendingWizard(main);
    std::vector<PageKind> pages = PagesSeen();
    EXPECT_EQ(std::make_pair(2L, 1L), std::make_pair(long(std::count(pages.begin(), pages.end(), PAGE_FAIL_MAINS)),
                                                     long(std::count(pages.begin(), pages.end(), PAGE_PORT))))
        << "each failure its page, and one new wizard for both, from the main loop";
    StopAnsweringPages();
    mainWindow = standIn;
    DestroyWindow(main);
}

}  // namespace
