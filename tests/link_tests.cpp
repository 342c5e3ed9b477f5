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
    void Run(const std::string &boxOptions, uint32_t size)
    {
        chosenImage = WriteImage("link.bin", ValidImage(size, ALT_HEADER_OFFSET), &image);
        StartBox(boxOptions);
        StartAnsweringPages(answerWizard);
        ASSERT_NE(0, OpenPort(window));
    }
    Bytes Received() { return ToBytes(ReadTextFile(BoxDirectory() + "\\received.bin")); }
};

TEST_F(Link, WholeImageArrivesIntactAndTheBoxIsRebooted)
{
    Run("", 300 * 1024 + 77);
    ASSERT_TRUE(WaitBoxLog("verdict=", 120000)) << BoxLog();
    EXPECT_NE(std::string::npos, BoxLog().find("verdict=complete")) << BoxLog();
    EXPECT_TRUE(Received() == image) << "the box's copy is byte-identical";
    EXPECT_EQ(1, progressShown);
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", 15000)) << BoxLog();
    EXPECT_NE(std::string::npos, BoxLog().find("commands=s,mon,q 0xbfbf9000")) << "the commands in order";
    EXPECT_EQ(0, failRetries);
    EXPECT_EQ(0, noResponses);
    EXPECT_EQ(nullptr, upload.imageFile);
}

TEST_F(Link, RejectedBlockRestartsFromTheFirstByte)
{
    Run("--reject 2 --reject-byte F0 --rehandshake", 40 * 1024 + 5);
    ASSERT_TRUE(WaitBoxLog("verdict=complete", 60000)) << BoxLog();
    EXPECT_TRUE(Received() == image);
    EXPECT_EQ(2, progressShown) << "the new handshake starts a new transfer";
    EXPECT_EQ(0, failRetries);
    ASSERT_TRUE(WaitBoxLog("event=command text=boot", 15000)) << "completion page answered";
}

}  // namespace
