// The real program under Wine driven as a user would: its pages found by
// their controls, their texts read, keys handled by the pages' own loops
// (real Shift and Alt keys for accelerators and menu), the box simulator on
// COM7. With TESSEL_SHOTS set every page is also pictured.
#include "tests/app_driver.h"
#include "tests/upload_harness.h"
#include "app/ids.h"
#include "app/app.h"

#include <gtest/gtest.h>
#include <commctrl.h>
#include <algorithm>
#include <cstdlib>
#include <functional>

namespace {

const size_t NONE = std::string::npos;
const int TELNET_INDEX = 8;

// The program's own texts, exactly as they stand, by the control that shows them.
const struct { int control; const char *text; } PAGE_TEXTS[] = {
    { 280, "\nWelcome to the Flash Programmer from Tessel Systems\n\nCopyright (c) 2026 Tessel Systems.\n\n"
           "Flash Programmer for Tessel. " },
    { 291, "\nMake sure you have a serial cable connected\nbetween your IRD and  PC." },
    { 293, "\nPlease disconnect the IRD from mains.\n" },
    { 292, "Please connect the IRD to the mains\n\nwithin 10 seconds.\n\n" },
    { 1017, "\nWARNING!\n\nIf you proceed downloading, \n\nall  channels and settings will be lost." },
    { 281, "\nProgram dowloading is Completed!\n\nThe IRD will be rebooted after pressing <OK>." },
    { 1023, "ERROR! \n\nThe specified COM port cannot be opened.\n\nPlease check COM port selection." },
    { 1022, "\nCOM-port communication failed !\n\n " },
    { 279, "Check the communication port and serial cable" },
    { 278, "\nERROR!  Downloading failure!\n\nPlease make sure your IRD is conneted to the mains the check the "
           "serial cable connection." },
    { 288, "\nERROR !  The selected file is not a valid SW file." },
    { 1002, "\n\nCOM port is not open! \nCheck your COM port settings.\n " },
    { 277, "\nError ! Downloading Failure\n\nPlease check IRD or Serial cable and choose recover from menu.." },
    { 529, "Flash Programmer for Tessel" },
    { 530, "Copyright (c) 2026 Tessel Systems." },
    { 531, "All rights reserved." },
};

int Chosen(HWND portPage)
{
    return int(SendDlgItemMessageA(portPage, IDC_PORT, CB_GETCURSEL, 0, 0));
}

std::string PortList(HWND portPage)
{
    std::string list;
    for (int i = 0; i < SendDlgItemMessageA(portPage, IDC_PORT, CB_GETCOUNT, 0, 0); i++) {
        wchar_t text[32] = L"";   // Wine hands another process's list text over as UTF-16
        SendDlgItemMessageW(portPage, IDC_PORT, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        list += i ? " " : "";
        for (int c = 0; text[c]; c++)
            list += char(text[c]);
    }
    return list;
}

bool Closes(HWND page)
{
    return PumpUntil([&] { return !IsWindowVisible(page); }, HANG_MS);
}

// Picks a port with the keyboard (Tab to the list, KEY) and goes on with Enter,
// which ends the page (what follows is looked at only then). A page just
// shown takes the keyboard when its thread activates it, and an activation
// that comes late puts the focus back where the page had it; a key's effect
// is seen only once its thread got to it. So Tab is pressed until the list
// has the keyboard, each Tab waited for by the focus moving, and KEY goes to
// the list itself, waited for by the port it leads to.
void ChoosePortByKey(HWND portPage, UINT key, int times = 1)
{
    HWND list = GetDlgItem(portPage, IDC_PORT);
    int target = key == VK_END ? TELNET_INDEX : Chosen(portPage) + (key == VK_DOWN ? times : -times);
    auto tabToList = [&] {
        for (int tries = 0; tries < 10 && FocusOf(portPage) != list; tries++) {
            HWND before = FocusOf(portPage);
            PressKey(portPage, VK_TAB);
            PumpUntil([&] { return FocusOf(portPage) != before; }, HANG_MS);
        }
        return FocusOf(portPage) == list;
    };
    EXPECT_TRUE(PumpUntil([&] { return IsChild(portPage, FocusOf(portPage)) != 0; }, HANG_MS))
        << "the port page never took the keyboard";
    EXPECT_TRUE(tabToList()) << "Tab reaches the port list";
    for (int i = 0; i < times; i++)
        PostKey(list, key);
    EXPECT_TRUE(PumpUntil([&] { return Chosen(portPage) == target; }, HANG_MS)) << "the list took the keys";
    EXPECT_TRUE(tabToList()) << "the list has the keyboard for Enter";
    PressKey(portPage, VK_RETURN);
    EXPECT_TRUE(Closes(portPage)) << "Enter ends the port page";
}

// A key the page must not act on: it is still up once its thread handled the key.
bool KeyIgnored(HWND page, UINT key)
{
    PressKey(page, key);
    return IsWindowVisible(page) != 0;
}

class AppTest : public ::testing::Test {
protected:
    App app;
    Bytes image;
    std::string goodImage;

    void SetUp() override { goodImage = WriteImage("app-good.bin", ValidImage(64 * 1024 + 100, 0), &image); }
    void TearDown() override { WaitExit(app, 100); StopBox(); }

    // The next page of KIND with its texts checked, pictured as SHOT; null if none came.
    HWND Reach(PageKind kind, DWORD timeoutMs, const char *shot = nullptr)
    {
        HWND page = WaitPage(app, kind, timeoutMs);
        if (page && shot)
            Shot(shot);
        for (auto row : PAGE_TEXTS)
            EXPECT_TRUE(!page || !GetDlgItem(page, row.control) || row.text == ControlText(page, row.control))
                << "page " << kind << ", control " << row.control << ": \"" << ControlText(page, row.control) << "\"";
        return page;
    }

    // Once WINDOW's thread has handled what it was sent: no dialog shows but EXPECTED.
    bool ShowsOnly(HWND window, HWND expected = nullptr)
    {
        WaitHandled(window);
        std::vector<HWND> shown = VisibleDialogs(app.process.dwProcessId);
        bool only = expected ? shown.size() == 1 && shown[0] == expected : shown.empty();
        for (size_t i = 0; !only && i < shown.size(); i++)
            printf("showing: page %d\n", int(PageKindOf(shown[i])));
        return only;
    }

    // The program started and walked as DriveWizard walks it, giving FILE to
    // the file dialog, to the first page of KIND, left showing, its texts checked.
    HWND WalkTo(PageKind kind, const std::string &file = "")
    {
        DrivePlan plan;
        plan.image = file;
        plan.portIndex = BoxPortIndex();
        plan.stopAt = kind;
        EXPECT_TRUE(Launch(app));
        EXPECT_EQ(kind, DriveWizard(app, plan).end) << BoxLog();
        return Reach(kind, HANG_MS);
    }
};

// The whole road by keyboard, then the main window's keys, menu and
// commands with the port open and closed.
TEST_F(AppTest, HappyPathByKeyboardThenTheMainWindowKeysAct)
{
    StartBox("--pace");
    HWND page;
    ASSERT_TRUE(Launch(app));
    ASSERT_TRUE(page = Reach(PAGE_WELCOME, HANG_MS, "1-welcome")) << "Welcome";
    TypeKeys(page, "shift+Prior");   // Connect's accelerator acts only in the main loop
    EXPECT_TRUE(KeyIgnored(page, VK_ESCAPE)) << "Escape on Welcome";
    EXPECT_TRUE(ShowsOnly(page, page)) << "Shift+PageUp acted under Welcome";
    PressKey(page, VK_RETURN);
    ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS, "2-port")) << "port selection";
    EXPECT_EQ("COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 TELNET", PortList(page));
    EXPECT_EQ(0, Chosen(page)) << "COM1 first";
    ChoosePortByKey(page, VK_DOWN, BoxPortIndex());
    ASSERT_TRUE(page = Reach(PAGE_CABLE, HANG_MS, "3-cable"));
    PressKey(page, VK_ESCAPE);
    ASSERT_TRUE(page = Reach(PAGE_DISCONNECT, HANG_MS, "4-disconnect"));
    TypeKeys(page, "shift+Next");   // Disconnect's accelerator: the port stays open
    EXPECT_TRUE(KeyIgnored(page, VK_ESCAPE)) << "Escape on the disconnect page";
    PressKey(page, VK_RETURN);
    ASSERT_TRUE(Reach(PAGE_CONNECT, HANG_MS, "5-connect"));
    PowerOnBox();
    ASSERT_TRUE(page = Reach(PAGE_FILE, HANG_MS, "6-file")) << "the file dialog\n" << BoxLog();
    ChooseFile(page, goodImage);
    ASSERT_TRUE(page = Reach(PAGE_WARNING, HANG_MS, "7-warning"));
    std::string log = BoxLog();
    EXPECT_EQ(NONE, log.substr(0, log.find("event=power-on")).find("first=73")) << "Escape on the cable page sent \"s\"\n" << log;
    PressKey(page, VK_ESCAPE);   // Continue
    ASSERT_TRUE(page = Reach(PAGE_PROGRESS, HANG_MS)) << "progress";
    EXPECT_TRUE(KeyIgnored(page, VK_RETURN)) << "Enter on the progress page";
    int percent = 0, wentBack = 0;
    PumpUntil([&] {
        int now = IsWindow(page) ? atoi(ControlText(page, IDC_PERCENT).c_str()) : 100;
        wentBack |= now < percent;
        percent = now;
        return percent >= 40;
    }, HANG_MS);
    EXPECT_FALSE(wentBack) << "percentage went back";
    Shot("8-progress");
    PressKey(page, VK_ESCAPE);
    EXPECT_TRUE(Closes(page)) << "Escape closes the progress page";
    ASSERT_TRUE(page = Reach(PAGE_COMPLETED, HANG_MS, "9-completed")) << "the transfer went on to completion";
    PressKey(page, VK_RETURN);
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", HANG_MS)) << BoxLog();
    EXPECT_NE(NONE, BoxLog().find("verdict=complete")) << BoxLog();
    EXPECT_TRUE(ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image) << "identical image";
    EXPECT_TRUE(Closes(page)) << "the completion page holds for two seconds";
    // The rebooted box's stop window ends with its boot: an answer would have come by then.
    PumpUntil([] { return BoxLog().find("event=boot", BoxLog().find("text=boot")) != NONE; }, HANG_MS);
    log = BoxLog().substr(BoxLog().find("text=boot"));
    EXPECT_TRUE(log.find("event=boot") != NONE && log.find("event=stop") == NONE) << "the reboot banner is not answered\n" << log;

    // Settings applies the line settings to the open port again; its choice waits for the next opening.
    HWND main = MainWindowOf(app);
    std::string port = "$WINEPREFIX/dosdevices/${TESSEL_BOX_PORT:-com7}";
    RunShell("stty -F " + port + " 9600");
    PostMessageA(main, WM_COMMAND, CMD_SETTINGS, 0);
    ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "Settings";
    EXPECT_EQ(BoxPortIndex(), Chosen(page)) << "the port in use preselected";
    ChoosePortByKey(page, VK_END);
    EXPECT_TRUE(ShowsOnly(main)) << "Settings failed!";
    EXPECT_EQ("115200\n", RunShell("stty -F " + port + " speed"));

    // Shift+PageDown closes the port (not before); Send CR then finds it closed.
    EXPECT_EQ(NONE, BoxLog().find("event=client-closed")) << "Shift+PageDown acted under a page";
    TypeKeys(main, "shift+Next");
    EXPECT_TRUE(WaitBoxLog("event=client-closed", HANG_MS)) << "Shift+PageDown";
    PostMessageA(main, WM_COMMAND, CMD_SETTINGS, 0);   // with the port closed there is nothing to apply
    ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "Settings, port closed";
    PressKey(page, VK_RETURN);
    EXPECT_TRUE(Closes(page));
    EXPECT_TRUE(ShowsOnly(main)) << "Settings failed! with the port closed";
    for (int command : { CMD_SEND_CR, CMD_FAIL_RECOVER }) {
        PostMessageA(main, WM_COMMAND, command, 0);
        ASSERT_TRUE(page = Reach(PAGE_OTHER, HANG_MS)) << command;
        EXPECT_TRUE(KeyIgnored(page, VK_ESCAPE)) << command;
        PressKey(page, VK_RETURN);
        EXPECT_TRUE(Closes(page)) << command;
    }

    // About from the menu by its mnemonic; only OK ends it, not Escape nor its close box.
    TypeKeys(main, "alt b");
    ASSERT_TRUE(page = Reach(PAGE_ABOUT, HANG_MS, "10-about")) << "About";
    EXPECT_TRUE(KeyIgnored(page, VK_ESCAPE)) << "Escape on About";
    ClickCloseBox(page);
    EXPECT_TRUE(IsWindowVisible(page)) << "the close box of About";
    PressKey(page, VK_RETURN);
    EXPECT_TRUE(Closes(page));

    // Shift+PageUp runs the wizard with the port Settings chose; its failure shows once.
    TypeKeys(main, "shift+Prior");
    ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "Shift+PageUp";
    EXPECT_EQ(TELNET_INDEX, Chosen(page));
    PressKey(page, VK_RETURN);
    ASSERT_TRUE(page = Reach(PAGE_OPEN_FAILED, HANG_MS));
    PressKey(page, VK_RETURN);
    EXPECT_TRUE(Closes(page));
    EXPECT_TRUE(ShowsOnly(main)) << "no second attempt after Shift+PageUp";
    TypeKeys(main, "alt a x");   // Action, Exit
    EXPECT_EQ(0u, WaitExit(app, HANG_MS));
}

// TELNET does not exist: its failure page and the port page take turns,
// TELNET kept, no Welcome again. A box that never prompts: the failure
// page, the wizard again, and a failing port there leaves no page.
TEST_F(AppTest, FailingPortAlternatesWithItsPageAndNoPromptStartsTheWizardAgain)
{
    StartBox("--silent");
    HWND page;
    ASSERT_TRUE(Launch(app));
    ASSERT_TRUE(page = Reach(PAGE_WELCOME, HANG_MS));
    PressKey(page, VK_RETURN);
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "port page, round " << round;
        EXPECT_EQ(round ? TELNET_INDEX : 0, Chosen(page)) << "TELNET kept";
        round ? PressKey(page, VK_RETURN) : ChoosePortByKey(page, VK_END);
        ASSERT_TRUE(page = Reach(PAGE_OPEN_FAILED, HANG_MS));
        EXPECT_TRUE(round || KeyIgnored(page, VK_ESCAPE)) << "Escape on the open failure";
        PressKey(page, VK_RETURN);
    }
    ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "port page, round 2";
    ChoosePortByKey(page, VK_UP, TELNET_INDEX - BoxPortIndex());
    for (PageKind kind : { PAGE_CABLE, PAGE_DISCONNECT }) {
        ASSERT_TRUE(page = Reach(kind, HANG_MS)) << kind;
        PressKey(page, VK_RETURN);
    }
    HWND connect;
    ASSERT_TRUE(connect = Reach(PAGE_CONNECT, HANG_MS)) << "connect";
    ASSERT_TRUE(page = Reach(PAGE_COMM_FAILED, TICKS_PROMPT * TICK_MS + HANG_MS));   // the prompt watch
    EXPECT_TRUE(Closes(connect)) << "the connect page was told to end";
    EXPECT_TRUE(ShowsOnly(page, page)) << "and no other page shows";
    EXPECT_TRUE(KeyIgnored(page, VK_ESCAPE)) << "Escape on the communication failure";
    PressKey(page, VK_RETURN);
    ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "the wizard starts over at the port selection";
    EXPECT_EQ(BoxPortIndex(), Chosen(page));
    ChoosePortByKey(page, VK_END);
    EXPECT_TRUE(ShowsOnly(MainWindowOf(app))) << "no failure page after a failure's new attempt";
    ClickCloseBox(MainWindowOf(app));
    EXPECT_EQ(0u, WaitExit(app, HANG_MS));
    StopBox();
    EXPECT_NE(NONE, BoxLog().find("first=73")) << "Next on the cable page sends \"s\"\n" << BoxLog();
}

// A lost acknowledgement, and an image emptied after the warning (no length
// sent): one failure page, none again from the start watchdog (its 10 s
// waited out), none into the new wizard.
TEST_F(AppTest, FailedTransferShowsOneFailurePageAndStartsOver)
{
    struct { const char *box; bool emptied; } rows[] = { { "--drop-ack 3", false }, { "", true } };
    for (auto row : rows) {
        SCOPED_TRACE(row.box);
        StartBox(row.box);
        app = App();
        std::string path = WriteImage("app-fails.bin", ValidImage(16 * 1024, 0));
        HWND page;
        ASSERT_TRUE(page = WalkTo(PAGE_WARNING, path));
        ASSERT_TRUE(!row.emptied || ResizeFile(path, 0));
        PressKey(page, VK_ESCAPE);   // Continue
        // Continue armed the start watchdog before the box saw the command typed: it runs out
        // at the latest its count of ticks (and a margin for late ones) after that.
        ASSERT_TRUE(WaitBoxLog("event=command text=mon", HANG_MS)) << BoxLog();
        DWORD armedBefore = GetTickCount();
        auto watchOut = [&] { return GetTickCount() - armedBefore > TICKS_START * TICK_MS + 2000; };
        ASSERT_TRUE(page = Reach(PAGE_FAIL_MAINS, TICKS_ACK * TICK_MS + HANG_MS)) << BoxLog();
        EXPECT_EQ(row.emptied, BoxLog().find("event=length") == NONE) << "no length for an emptied image";
        auto secondPage = [&] { return VisibleDialogs(app.process.dwProcessId).size() > 1; };
        PumpUntil([&] { return secondPage() || watchOut(); }, HANG_MS);
        EXPECT_TRUE(ShowsOnly(page, page)) << "the progress page closed itself, and no second failure page";
        EXPECT_TRUE(KeyIgnored(page, VK_ESCAPE)) << "Escape on the failure page";
        PressKey(page, VK_RETURN);
        ASSERT_TRUE(page = Reach(PAGE_PORT, HANG_MS)) << "the wizard starts over";
        EXPECT_TRUE(ShowsOnly(page, page)) << "nothing of the old attempt fires into the new wizard";
        PressKey(page, VK_ESCAPE);   // Cancel
        EXPECT_EQ(0u, WaitExit(app, HANG_MS));
        EXPECT_EQ(NONE, BoxLog().find("verdict=complete"));
    }
}

// Enter and Escape where they mean Cancel or Abort end the program with code
// 0 and nothing sent: no go-ahead, or to a box that asked for data before an
// image was chosen (the engine asked for the file dialog and the warning),
// no length. Retry on an invalid file is not the first button:
// Tab reaches it, and the file dialog comes again.
TEST_F(AppTest, KeysThatCancelEndTheProgramCleanly)
{
    struct { PageKind page; UINT keys[2]; const char *box; } rows[] = {
        { PAGE_CONNECT, { VK_RETURN }, "" }, { PAGE_CONNECT, { VK_ESCAPE }, "" }, { PAGE_FILE, { VK_ESCAPE }, "" },
        { PAGE_INVALID_FILE, { VK_RETURN }, "" }, { PAGE_INVALID_FILE, { VK_ESCAPE }, "" },
        { PAGE_INVALID_FILE, { VK_TAB, VK_RETURN }, "" },   // Retry, then a good file and Abort
        { PAGE_WARNING, { VK_RETURN }, "--handshake-first" },
    };
    std::string bad = WriteImage("app-bad.bin", { 0x9000, -1, 0, 0, 0 });
    for (auto row : rows) {
        SCOPED_TRACE(testing::Message() << "page " << row.page << ", keys " << row.keys[0] << " " << row.keys[1]);
        StartBox(row.box);
        app = App();
        HWND page;
        ASSERT_TRUE(page = WalkTo(row.page, row.page == PAGE_INVALID_FILE ? bad : goodImage));
        for (UINT key : row.keys)
            key ? PressKey(page, key) : void();
        if (row.keys[1]) {
            ASSERT_TRUE(page = Reach(PAGE_FILE, HANG_MS)) << "the file dialog again";
            ChooseFile(page, goodImage);
            ASSERT_TRUE(page = Reach(PAGE_WARNING, HANG_MS)) << "a good file reaches the warning";
            PressKey(page, VK_RETURN);   // Abort
        }
        EXPECT_EQ(0u, WaitExit(app, HANG_MS));
        EXPECT_TRUE(WaitBoxLog("event=client-closed", HANG_MS)) << "the port closed: nothing sent is on its way";
        std::string log = BoxLog();
        EXPECT_EQ(*row.box != 0, log.find("event=go-ahead") != NONE) << log;
        EXPECT_EQ(NONE, log.find("event=length")) << "nothing was sent to the box\n" << log;
    }
}

// ---------------------------------------------------------------- progress page
// The page in this process, opened modally, acted on by a timer inside its loop.

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

// The page catches up with the count when it opens, its bar's range holds
// more than 65,535 blocks; the bar and percentage follow each report, and
// only the total ends the page. A page opened with its transfer over or
// complete ends at once. A newer page ends the older one.
TEST_F(ProgressPage, PercentFollowsTheCountAndOnlyTheLastBlockEndsThePage)
{
    struct { const char *name; int state, acked, total; int reports[3]; const char *shown; } rows[] = {
        { "three blocks", UPLOAD_WAIT_ACK1, 0, 3, { 1, 2, 3 }, "open at 0 of 3:33 % at 1|66 % at 2|100 %!" },
        { "one block", UPLOAD_WAIT_ACK1, 0, 1, { 1 }, "open at 0 of 1:100 %!" },
        { "a count past the total", UPLOAD_WAIT_ACK1, 0, 5, { 7 }, "open at 0 of 5:140 % at 5|" },
        { "two blocks before it opened, then the second's report", UPLOAD_WAIT_ACK2, 2, 5, { 2 }, "open at 2 of 5:40 % at 2|" },
        { "over 65,535 blocks", UPLOAD_WAIT_ACK1, 66000, 70000, {}, "open at 66000 of 70000:" },
        { "no transfer", UPLOAD_IDLE, 2, 5, {}, "" },
        { "every block acknowledged", UPLOAD_WAIT_ACK1, 5, 5, {}, "" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        upload.uploadState = row.state;
        upload.blocksAcked = row.acked;
        upload.blockTotal = row.total;
        std::string shown;
        OpenProgressPage([&] {
            HWND page = upload.progressDialog;
            auto bar = [&] { return " at " + std::to_string(SendMessageA(Bar(page), PBM_GETPOS, 0, 0)); };
            shown = "open" + bar() + " of " + std::to_string(SendMessageA(Bar(page), PBM_GETRANGE, FALSE, 0)) + ":";
            for (int i = 0; i < 3 && row.reports[i] && upload.progressDialog; i++) {
                SendMessageA(page, WM_COMMAND, IDC_PERCENT, row.reports[i]);
                shown += ControlText(page, IDC_PERCENT) + (upload.progressDialog ? bar() + "|" : "!");
            }
            PostMessageA(page, WM_COMMAND, IDCANCEL, 0);
        });
        EXPECT_EQ(row.shown, shown);
        EXPECT_EQ(nullptr, upload.progressDialog.load());
    }
    upload.blocksAcked = 0;
    bool olderStillUp = true;
    OpenProgressPage([&] {
        HWND older = upload.progressDialog;
        OpenProgressPage([&] {
            PumpUntil([&] { return !IsWindowVisible(older); }, HANG_MS);
            olderStillUp = IsWindowVisible(older) != 0;
            PostMessageA(upload.progressDialog, WM_COMMAND, IDCANCEL, 0);
        });
    });
    EXPECT_FALSE(olderStillUp) << "a newer page ends the older";
}

}  // namespace

// A box left in load mode asks for data at once, without a prompt, and the
// technician takes longer than the prompt watch to find the file: the box
// has answered, so no failure page comes over the file dialog, and the
// image chosen late still goes to the box.
TEST_F(AppTest, BoxThatAsksFirstWaitsForASlowTechnician)
{
    StartBox("--handshake-first --rx-timeout 60000");   // a box that waits as long as it takes
    HWND page;
    ASSERT_TRUE(page = WalkTo(PAGE_FILE));
    // The prompt watch (armed at the connect page, which stays under the
    // file dialog) runs 40 ticks: half as long again covers a slow machine's
    // late timer messages.
    HWND fileDialog = page;
    auto shown = [&] {
        std::vector<PageKind> kinds;
        for (HWND dialog : VisibleDialogs(app.process.dwProcessId))
            kinds.push_back(PageKindOf(dialog));
        std::sort(kinds.begin(), kinds.end());
        return kinds;
    };
    const std::vector<PageKind> expected = { PAGE_CONNECT, PAGE_FILE };
    PumpUntil([&] { return shown() != expected; }, TICKS_PROMPT * TICK_MS * 3 / 2);
    WaitHandled(fileDialog);
    EXPECT_TRUE(shown() == expected) << "no failure page over the file dialog";
    ChooseFile(fileDialog, goodImage);
    ASSERT_TRUE(page = Reach(PAGE_WARNING, HANG_MS));
    PressKey(page, VK_ESCAPE);   // Continue
    ASSERT_TRUE(page = Reach(PAGE_COMPLETED, HANG_MS)) << BoxLog();
    PressKey(page, VK_RETURN);
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", HANG_MS)) << BoxLog();
    EXPECT_TRUE(ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image) << "identical image";
}
