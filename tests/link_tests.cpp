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
std::atomic<int> progressShown{ 0 };
std::atomic<int> failRetries{ 0 };
std::atomic<int> noResponses{ 0 };

LRESULT CALLBACK standInMain(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER) {
        UploadTimerTick(window);
        return 1;
    }
    if (message != WM_COMMAND)
        return 0;
    switch (LOWORD(wParam)) {
    case CMD_MONITOR_FOUND:
        if (connectDialog)
            PostMessageA(connectDialog, WM_COMMAND, IDOK, 0);
        strncpy(imagePath, chosenImage.c_str(), sizeof imagePath - 1);
        if (OpenFirmwareImage(window) == 0)
            StartCommandSequence();
        break;
    case CMD_SHOW_PROGRESS:
        progressShown++;
        break;
    case CMD_FAIL_RETRY:
        failRetries++;
        break;
    case CMD_NO_RESPONSE:
        noResponses++;
        break;
    }
    return 1;
}

// The wizard as a user answers it, powering the box on at the connect page.
PageAnswer answerWizard(PageKind kind, HWND dialog)
{
    static HWND poweredFor;
    switch (kind) {
    case PAGE_PORT: return { 3, INDEX_COM7 };
    case PAGE_CABLE:
    case PAGE_DISCONNECT:
    case PAGE_COMPLETED: return { IDOK, -1 };
    case PAGE_CONNECT:
        if (poweredFor != dialog) {   // once a page, however often it is asked
            poweredFor = dialog;
            PowerOnBox();
        }
        return { 0, -1 };   // the engine's prompt ends it
    default: return { 0, -1 };
    }
}

class Link : public ::testing::Test {
protected:
    HWND window = nullptr;
    Bytes image;

    void SetUp() override
    {
        ResetUpload();
        progressShown = 0;
        failRetries = 0;
        noResponses = 0;
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
    EXPECT_EQ(2, progressShown) << "the new handshake starts a new transfer";
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", 15000)) << BoxLog();
    EXPECT_NE(std::string::npos, BoxLog().find("commands=s,mon,q 0xbfbf9000")) << "the commands in order";
    EXPECT_EQ(0, failRetries);
    EXPECT_EQ(0, noResponses);
    EXPECT_EQ(nullptr, upload.imageFile);
}

}  // namespace
