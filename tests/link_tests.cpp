// An upload without the GUI: the real serial code, engine and tick against
// the box simulator on a pty, unpaced. A stand-in main window does what the
// real one does with the engine's commands, but picks the image by path.
#include "tests/port_harness.h"
#include "tests/upload_harness.h"
#include "upload/upload.h"
#include "app/app.h"
#include "app/ids.h"

#include <gtest/gtest.h>

namespace {

const int INDEX_COM7 = 6;
std::string chosenImage;
std::atomic<int> commands[CMD_MONITOR_FOUND + 1];   // how often each command came

// Ticks, and on a prompt picks the image by path and starts the typed commands.
LRESULT CALLBACK standInMain(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER)
        UploadTimerTick(window);
    if (message != WM_COMMAND || LOWORD(wParam) > CMD_MONITOR_FOUND)
        return message == WM_TIMER;
    commands[LOWORD(wParam)]++;
    if (LOWORD(wParam) == CMD_MONITOR_FOUND) {
        if (connectDialog)
            PostMessageA(connectDialog, WM_COMMAND, IDOK, 0);
        strncpy(imagePath, chosenImage.c_str(), sizeof imagePath - 1);
        if (OpenFirmwareImage(window) == 0)
            StartCommandSequence();
    }
    return 1;
}

// The wizard as a user answers it, powering the box on at the connect page,
// which the engine's prompt then ends.
PageAnswer answerWizard(PageKind kind, HWND dialog)
{
    static HWND poweredFor;
    if (kind == PAGE_CONNECT && poweredFor != dialog) {   // once a page, however often it is asked
        poweredFor = dialog;
        PowerOnBox();
    }
    bool next = kind == PAGE_CABLE || kind == PAGE_DISCONNECT || kind == PAGE_COMPLETED;
    return kind == PAGE_PORT ? PageAnswer{ 3, INDEX_COM7 } : PageAnswer{ next ? IDOK : 0, -1 };
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

// The box rejects block 2, then sends its handshake again: the transfer starts
// over from the first byte, and in the end the box holds a byte-identical
// image and is told to reboot, after the commands in order.
TEST_F(Link, RejectedTransferStartsOverAndTheWholeImageArrivesIntact)
{
    chosenImage = WriteImage("link.bin", ValidImage(300 * 1024 + 77, ALT_HEADER_OFFSET), &image);
    StartBox("--reject 2 --reject-byte F0 --rehandshake");
    StartAnsweringPages(answerWizard);
    ASSERT_NE(0, OpenPort(window));
    ASSERT_TRUE(WaitBoxLog("verdict=complete", 120000)) << BoxLog();
    EXPECT_TRUE(ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")) == image) << "the box's copy is byte-identical";
    EXPECT_EQ(2, commands[CMD_SHOW_PROGRESS]) << "the new handshake starts a new transfer";
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", 15000)) << BoxLog();
    EXPECT_NE(std::string::npos, BoxLog().find("commands=s,mon,q 0xbfbf9000")) << "the commands in order";
    EXPECT_EQ(0, commands[CMD_FAIL_RETRY] + commands[CMD_NO_RESPONSE]) << "no failure";
    EXPECT_EQ(nullptr, upload.imageFile);
}

}  // namespace
