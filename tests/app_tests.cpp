// The real program under Wine, driven as a user would drive it: this test
// program starts TesselFlash.exe, finds its pages by their controls, reads
// their texts and presses their buttons, while the box simulator plays the
// box on COM7. With TESSEL_SHOTS set it also saves a picture of every page.
#include "tests/app_driver.h"
#include "tests/upload_harness.h"
#include "app/ids.h"
#include "app/app.h"

#include <gtest/gtest.h>
#include <commctrl.h>
#include <cstdlib>
#include <functional>

namespace {

class AppTest : public ::testing::Test {
protected:
    App app;
    Bytes image;
    std::string goodImage;

    void SetUp() override
    {
        goodImage = WriteImage("app-good.bin", ValidImage(64 * 1024 + 100, 0), &image);
    }
    void TearDown() override
    {
        WaitExit(app, 100);
        StopBox();
    }

    // Walks the wizard from Welcome to the connect page with the box powered on.
    void WalkToConnect()
    {
        ASSERT_TRUE(Launch(app));
        HWND page = WaitPage(app, PAGE_WELCOME, 20000);
        ASSERT_TRUE(page) << "Welcome";
        EXPECT_NE(std::string::npos, ControlText(page, 280).find("Flash Programmer for Tessel. "));
        Shot("1-welcome");
        Press(page, 3);
        page = WaitPage(app, PAGE_PORT, 5000);
        ASSERT_TRUE(page) << "port selection";
        EXPECT_EQ(9, SendDlgItemMessageA(page, IDC_PORT, CB_GETCOUNT, 0, 0));
        EXPECT_EQ(0, SendDlgItemMessageA(page, IDC_PORT, CB_GETCURSEL, 0, 0)) << "COM1 first";
        SendDlgItemMessageA(page, IDC_PORT, CB_SETCURSEL, BoxPortIndex(), 0);
        Shot("2-port");
        Press(page, 3);
        page = WaitPage(app, PAGE_CABLE, 5000);
        ASSERT_TRUE(page) << "cable";
        EXPECT_EQ("\nMake sure you have a serial cable connected\nbetween your IRD and  PC.", ControlText(page, 291));
        Shot("3-cable");
        Press(page, IDOK);
        page = WaitPage(app, PAGE_DISCONNECT, 5000);
        ASSERT_TRUE(page) << "disconnect";
        EXPECT_EQ("\nPlease disconnect the IRD from mains.\n", ControlText(page, 293));
        Shot("4-disconnect");
        Press(page, IDOK);
        page = WaitPage(app, PAGE_CONNECT, 5000);
        ASSERT_TRUE(page) << "connect";
        EXPECT_EQ("Please connect the IRD to the mains\n\nwithin 10 seconds.\n\n", ControlText(page, 292));
        Shot("5-connect");
    }

    // From the connect page through the file dialog to the warning page.
    void WalkToWarning(const std::string &file)
    {
        ASSERT_NO_FATAL_FAILURE(WalkToConnect());
        PowerOnBox();
        HWND page = WaitPage(app, PAGE_FILE, 15000);
        ASSERT_TRUE(page) << "file dialog after the monitor was found";
        Shot("6-file");
        ChooseFile(page, file);
        page = WaitPage(app, PAGE_WARNING, 5000);
        ASSERT_TRUE(page) << "warning";
    }

    void CloseProgram()
    {
        HWND main = MainWindowOf(app);
        ASSERT_TRUE(main);
        PostMessageA(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, WaitExit(app, 10000));
    }
};

TEST_F(AppTest, HappyPathFlashesAnIdenticalImageAndReboots)
{
    StartBox("--pace");
    ASSERT_NO_FATAL_FAILURE(WalkToWarning(goodImage));
    HWND page = WaitPage(app, PAGE_WARNING, 100);
    EXPECT_EQ("\nWARNING!\n\nIf you proceed downloading, \n\nall  channels and settings will be lost.", ControlText(page, 1017));
    Shot("7-warning");
    Press(page, IDCANCEL);   // Continue

    page = WaitPage(app, PAGE_PROGRESS, 20000);
    ASSERT_TRUE(page) << "progress";
    DrivePlan plan;
    plan.stopAt = PAGE_COMPLETED;
    plan.quietMs = 20000;
    bool midShot = false;
    plan.onPercent = [&](int percent) {
        if (!midShot && percent >= 40) {
            Shot("8-progress");
            midShot = true;
        }
    };
    DriveResult result = DriveWizard(app, plan);
    EXPECT_FALSE(result.percentWentBack) << "percentage went back";
    EXPECT_GE(result.highestPercent, 40) << "the bar followed the blocks";
    EXPECT_LE(result.highestPercent, 100);
    ASSERT_EQ(PAGE_COMPLETED, result.end) << "completion";
    page = WaitPage(app, PAGE_COMPLETED, 100);
    EXPECT_FALSE(WaitPage(app, PAGE_PROGRESS, 0)) << "the progress page closed itself";
    EXPECT_EQ("\nProgram dowloading is Completed!\n\nThe IRD will be rebooted after pressing <OK>.", ControlText(page, 281));
    Shot("9-completed");
    Press(page, IDOK);
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", 10000)) << BoxLog();
    EXPECT_NE(std::string::npos, BoxLog().find("verdict=complete")) << BoxLog();
    EXPECT_TRUE(ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image) << "identical image";
    EXPECT_EQ(std::string::npos, BoxLog().find("event=stop", BoxLog().find("text=boot"))) << "the reboot banner is not answered";
    Sleep(2500);   // the completion page holds for two seconds
    CloseProgram();
}

TEST_F(AppTest, NoPromptWithinTenSecondsStartsTheWizardAgain)
{
    StartBox("--silent");
    ASSERT_NO_FATAL_FAILURE(WalkToConnect());
    HWND page = WaitPage(app, PAGE_COMM_FAILED, 20000);
    ASSERT_TRUE(page) << "communication failure page";
    EXPECT_EQ("\nCOM-port communication failed !\n\n ", ControlText(page, 1022));
    EXPECT_EQ("Check the communication port and serial cable", ControlText(page, 279));
    EXPECT_FALSE(WaitPage(app, PAGE_CONNECT, 100)) << "the connect page was told to end";
    Press(page, IDOK);
    page = WaitPage(app, PAGE_PORT, 5000);
    ASSERT_TRUE(page) << "the wizard starts over at the port selection";
    Press(page, IDCANCEL);
    EXPECT_EQ(0u, WaitExit(app, 10000));
}

TEST_F(AppTest, LostAcknowledgementShowsTheFailurePageAndStartsOver)
{
    StartBox("--drop-ack 3");
    ASSERT_NO_FATAL_FAILURE(WalkToWarning(goodImage));
    Press(WaitPage(app, PAGE_WARNING, 100), IDCANCEL);
    HWND page = WaitPage(app, PAGE_FAIL_MAINS, 30000);
    ASSERT_TRUE(page) << "failure page";
    EXPECT_NE(std::string::npos, ControlText(page, 278).find("ERROR!  Downloading failure!"));
    EXPECT_FALSE(WaitPage(app, PAGE_PROGRESS, 100)) << "the progress page closed itself";
    Press(page, IDOK);
    page = WaitPage(app, PAGE_PORT, 5000);
    ASSERT_TRUE(page) << "the wizard starts over";
    Press(page, IDCANCEL);
    EXPECT_EQ(0u, WaitExit(app, 10000));
    EXPECT_EQ(std::string::npos, BoxLog().find("verdict=complete"));
}

TEST_F(AppTest, InvalidFileOffersRetryThenAGoodFileIsAccepted)
{
    StartBox("");
    std::string bad = WriteImage("app-bad.bin", { 0x9000, -1, 0, 0, 0 });
    ASSERT_NO_FATAL_FAILURE(WalkToConnect());
    PowerOnBox();
    HWND page = WaitPage(app, PAGE_FILE, 15000);
    ASSERT_TRUE(page);
    ChooseFile(page, bad);
    page = WaitPage(app, PAGE_INVALID_FILE, 5000);
    ASSERT_TRUE(page) << "invalid file page";
    EXPECT_EQ("\nERROR !  The selected file is not a valid SW file.", ControlText(page, 288));
    Press(page, IDOK);   // Retry
    page = WaitPage(app, PAGE_FILE, 5000);
    ASSERT_TRUE(page) << "the file dialog again";
    ChooseFile(page, goodImage);
    page = WaitPage(app, PAGE_WARNING, 5000);
    ASSERT_TRUE(page) << "a good file reaches the warning";
    Press(page, IDOK);   // Abort ends the program
    EXPECT_EQ(0u, WaitExit(app, 10000));
}

// A box that asks for data before any image is chosen makes the program
// open the file dialog and the warning itself, on its reader thread; Abort
// there still means that nothing more reaches the box.
TEST_F(AppTest, AbortOnAWarningTheEngineOpenedSendsNothing)
{
    StartBox("--handshake-first");
    ASSERT_NO_FATAL_FAILURE(WalkToConnect());
    PowerOnBox();
    HWND page = WaitPage(app, PAGE_FILE, 8000);
    ASSERT_TRUE(page) << "the file dialog opened by the box's go-ahead\n" << BoxLog();
    ChooseFile(page, goodImage);
    page = WaitPage(app, PAGE_WARNING, 5000);
    ASSERT_TRUE(page) << "warning";
    Press(page, IDOK);   // Abort
    EXPECT_EQ(0u, WaitExit(app, 10000));
    Sleep(500);
    std::string log = BoxLog();
    EXPECT_NE(std::string::npos, log.find("event=go-ahead")) << log;
    EXPECT_EQ(std::string::npos, log.find("event=length")) << "nothing after the handshake answer\n" << log;
}

// An image emptied after the warning: one failure page, and no second one
// from the start watchdog of the same attempt.
TEST_F(AppTest, ImageEmptiedAfterTheWarningGivesOneFailurePage)
{
    StartBox("");
    std::string path = WriteImage("app-emptied.bin", ValidImage(16 * 1024, 0));
    ASSERT_NO_FATAL_FAILURE(WalkToWarning(path));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    Press(WaitPage(app, PAGE_WARNING, 100), IDCANCEL);   // Continue
    HWND page = WaitPage(app, PAGE_FAIL_MAINS, 20000);
    ASSERT_TRUE(page) << "failure page\n" << BoxLog();
    EXPECT_EQ(std::string::npos, BoxLog().find("event=length")) << "no length, no block";
    auto failurePages = [&] {
        int n = 0;
        for (HWND dialog : VisibleDialogs(app.process.dwProcessId))
            n += PageKindOf(dialog) == PAGE_FAIL_MAINS;
        return n;
    };
    PumpUntil([&] { return failurePages() > 1; }, 12000);
    EXPECT_EQ(1, failurePages()) << "the start watchdog reported the same failure again";
    Press(page, IDOK);
    page = WaitPage(app, PAGE_PORT, 5000);
    ASSERT_TRUE(page) << "the wizard starts over";
    PumpUntil([&] { return failurePages() > 0; }, 8000);
    EXPECT_EQ(0, failurePages()) << "nothing of the old attempt fires into the new wizard";
    Press(page, IDCANCEL);
    EXPECT_EQ(0u, WaitExit(app, 10000));
}

// Every Cancel (and Abort) ends the program with exit code 0.
TEST_F(AppTest, CancelOnEachPageEndsTheProgramCleanly)
{
    struct { PageKind page; int button; } rows[] = {
        { PAGE_PORT, IDCANCEL }, { PAGE_CONNECT, IDCANCEL }, { PAGE_FILE, IDCANCEL },
        { PAGE_INVALID_FILE, IDCANCEL }, { PAGE_WARNING, IDOK },
    };
    std::string bad = WriteImage("app-bad.bin", { 0x9000, -1, 0, 0, 0 });
    for (auto row : rows) {
        SCOPED_TRACE(int(row.page));
        StartBox("");
        app = App();
        ASSERT_TRUE(Launch(app));
        DrivePlan plan;
        plan.image = row.page == PAGE_INVALID_FILE ? bad : goodImage;
        plan.portIndex = BoxPortIndex();
        plan.stopAt = row.page;
        ASSERT_EQ(row.page, DriveWizard(app, plan).end);
        HWND page = WaitPage(app, row.page, 100);
        Press(page, row.button);
        EXPECT_EQ(0u, WaitExit(app, 10000));
        EXPECT_EQ(std::string::npos, BoxLog().find("event=go-ahead")) << "nothing was sent to the box";
    }
}

// ---------------------------------------------------------------- progress page
// The page itself, in this process: opened modally as the main window opens
// it, with a timer that acts from inside its modal loop.

std::function<void()> insidePage;

void CALLBACK ActInsidePage(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    std::function<void()> act = insidePage;
    insidePage = nullptr;
    if (act)
        act();
}

void OpenProgressPage(std::function<void()> act)
{
    insidePage = act;
    SetTimer(nullptr, 0, 100, ActInsidePage);
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(DLG_PROGRESS), nullptr, ProgressDlgProc, 0);
}

class ProgressPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        INITCOMMONCONTROLSEX controls = { sizeof controls, ICC_PROGRESS_CLASS };
        InitCommonControlsEx(&controls);
        appInstance = GetModuleHandleA(nullptr);
        ResetUpload();
        upload.uploadState = UPLOAD_WAIT_ACK1;
        upload.blockTotal = 5;
    }
    void TearDown() override { ResetUpload(); }
    static HWND Bar(HWND page) { return FindWindowExA(page, nullptr, PROGRESS_CLASSA, nullptr); }
};

// A page that opens after the last report, or after its transfer ended,
// has nothing to wait for and must not stay up.
TEST_F(ProgressPage, CatchUpEndsAPageWhoseTransferIsOverOrComplete)
{
    struct { const char *name; int state; int acked; } rows[] = {
        { "no transfer", UPLOAD_IDLE, 2 }, { "every block acknowledged", UPLOAD_WAIT_ACK1, 5 },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        upload.uploadState = row.state;
        upload.blocksAcked = row.acked;
        bool stayed = false;
        OpenProgressPage([&] {
            stayed = true;
            PostMessageA(upload.progressDialog, WM_COMMAND, IDCANCEL, 0);
        });
        EXPECT_FALSE(stayed);
        EXPECT_EQ(nullptr, upload.progressDialog.load());
    }
}

// The page catches up with two blocks; the report of the second, queued
// before the page was there, must not move the bar past the count; a page
// opened for a transfer begun again ends the older one.
TEST_F(ProgressPage, BarShowsTheCountAndANewerPageEndsTheOlder)
{
    upload.blocksAcked = 2;
    LRESULT afterStaleReport = -1;
    bool olderStillUp = true;
    HWND older = nullptr;
    OpenProgressPage([&] {
        older = upload.progressDialog;
        SendMessageA(older, WM_COMMAND, IDC_PERCENT, 2);
        afterStaleReport = SendMessageA(Bar(older), PBM_GETPOS, 0, 0);
        OpenProgressPage([&] {
            PumpUntil([&] { return !IsWindowVisible(older); }, 1000);
            olderStillUp = IsWindowVisible(older) != 0;
            PostMessageA(upload.progressDialog, WM_COMMAND, IDCANCEL, 0);
        });
    });
    EXPECT_EQ(2, afterStaleReport);
    EXPECT_FALSE(olderStillUp);
}

}  // namespace
