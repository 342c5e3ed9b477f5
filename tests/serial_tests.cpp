// The real serial code against a pty pair under Wine: OpenPort with its
// pages answered as a user would, the reader thread's chunks, writes both
// ways, and ClosePort. The upload engine is replaced by a recorder here.
#include "tests/port_harness.h"
#include "upload/upload.h"
#include "app/app.h"
#include "app/ids.h"
#include "terminal/screen.h"

#include <gtest/gtest.h>
#include <mutex>

namespace {

std::mutex chunkLock;
std::vector<Bytes> chunks;
HANDLE holdFirstChunk;   // when set, the first chunk waits for it

size_t ReceivedCount()
{
    std::lock_guard<std::mutex> hold(chunkLock);
    size_t n = 0;
    for (const Bytes &c : chunks)
        n += c.size();
    return n;
}

Bytes ReceivedBytes()
{
    std::lock_guard<std::mutex> hold(chunkLock);
    Bytes all;
    for (const Bytes &c : chunks)
        all.insert(all.end(), c.begin(), c.end());
    return all;
}

Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = uint8_t(seed + i * 7);
    return bytes;
}

const int INDEX_COM5 = 4;
const int INDEX_TELNET = 8;
const int INDEX_NONE = -2;

struct WizardLog {
    std::atomic<int> bannerAnsweredAtConnect{ -1 };
    std::atomic<int> promptWatchAtConnect{ -1 };
};
WizardLog wizardLog;

PageResponder AnswerWizard(int portIndex, int portButton = 3)
{
    return [=](PageKind kind, HWND) -> PageAnswer {
        switch (kind) {
        case PAGE_PORT: return { portButton, portIndex };
        case PAGE_CABLE: return { IDOK, -1 };
        case PAGE_DISCONNECT: return { IDOK, -1 };
        case PAGE_CONNECT:
            wizardLog.bannerAnsweredAtConnect = upload.bannerAnswered.load();
            wizardLog.promptWatchAtConnect = upload.promptWatch.load();
            return { IDOK, -1 };
        default: return { 0, -1 };
        }
    };
}

}  // namespace

// The recorder that stands in for the upload engine.
int ProcessReceived(HWND, const uint8_t *bytes, DWORD count)
{
    bool first;
    {
        std::lock_guard<std::mutex> hold(chunkLock);
        first = chunks.empty();
        chunks.emplace_back(bytes, bytes + count);
    }
    if (first && holdFirstChunk)
        WaitForSingleObject(holdFirstChunk, 5000);
    return 1;
}

namespace {

class SerialLink : public ::testing::Test {
protected:
    HWND window = nullptr;
    HANDLE box = INVALID_HANDLE_VALUE;

    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> hold(chunkLock);
            chunks.clear();
        }
        window = CreateTestMainWindow(nullptr);
        ASSERT_NE(nullptr, window);
        box = OpenBoxEnd("COM6");
        ASSERT_NE(INVALID_HANDLE_VALUE, box) << "the box end of the pty pair";
    }
    void TearDown() override
    {
        StopAnsweringPages();
        DestroyTestMainWindow(window);
        if (box != INVALID_HANDLE_VALUE)
            CloseHandle(box);
    }
    TtyState *Tty() { return GetTtyState(window); }

    int OpenWithWizard(int portIndex)
    {
        StartAnsweringPages(AnswerWizard(portIndex));
        int result = OpenPort(window);
        StopAnsweringPages();
        return result;
    }
};

TEST_F(SerialLink, OpenPortRunsTheWizardOnTheChosenPort)
{
    upload.bannerAnswered = 1;
    upload.promptWatch = 0;
    ASSERT_NE(0, OpenWithWizard(INDEX_COM5));
    std::vector<PageKind> expected = { PAGE_PORT, PAGE_CABLE, PAGE_DISCONNECT, PAGE_CONNECT };
    EXPECT_EQ(expected, PagesSeen());
    EXPECT_EQ(5, Tty()->portNumber);
    EXPECT_EQ(1, Tty()->connected);
    EXPECT_NE(0u, Tty()->readerThreadId.load());
    EXPECT_EQ(Bytes({ 's' }), ReadBoxEnd(box, 1, 2000)) << "the cable page's Next";
    EXPECT_EQ(0, wizardLog.bannerAnsweredAtConnect) << "reset before the connect page";
    EXPECT_EQ(TICKS_PROMPT, wizardLog.promptWatchAtConnect);
    EXPECT_EQ(nullptr, connectDialog);

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(Tty()->portHandle, &dcb));
    EXPECT_EQ(115200u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, dcb.fOutX);

    EXPECT_EQ(1, ClosePort(window));
    EXPECT_EQ(0, Tty()->connected);
    EXPECT_EQ(0u, Tty()->readerThreadId.load());
    EXPECT_EQ(nullptr, Tty()->readerThread.load());
    EXPECT_EQ(0, Tty()->caretState);
}

TEST_F(SerialLink, QueuedBytesReachTheEngineInChunksOf80InOrder)
{
    holdFirstChunk = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(0, OpenWithWizard(INDEX_COM5));
    ReadBoxEnd(box, 1, 2000);
    WriteBoxEnd(box, Bytes({ 0x01 }));
    ASSERT_TRUE(PumpUntil([] { return ReceivedCount() == 1; }, 3000));
    // the reader now waits inside the engine while 200 bytes queue up
    Bytes burst = Pattern(200, 3);
    WriteBoxEnd(box, burst);
    Sleep(300);
    SetEvent(holdFirstChunk);
    ASSERT_TRUE(PumpUntil([] { return ReceivedCount() == 201; }, 3000));
    {
        std::lock_guard<std::mutex> hold(chunkLock);
        ASSERT_EQ(4u, chunks.size());
        EXPECT_EQ(80u, chunks[1].size());
        EXPECT_EQ(80u, chunks[2].size());
        EXPECT_EQ(40u, chunks[3].size());
    }
    Bytes expected = Bytes({ 0x01 });
    expected.insert(expected.end(), burst.begin(), burst.end());
    EXPECT_EQ(expected, ReceivedBytes());
    ClosePort(window);
    CloseHandle(holdFirstChunk);
    holdFirstChunk = nullptr;
}

TEST_F(SerialLink, BytesTravelBothWaysAndNothingIsWrittenAfterClose)
{
    ASSERT_NE(0, OpenWithWizard(INDEX_COM5));
    ReadBoxEnd(box, 1, 2000);
    Bytes out = Pattern(3000, 11);
    EXPECT_EQ(1, WritePort(window, out.data(), DWORD(out.size())));
    EXPECT_EQ(out, ReadBoxEnd(box, out.size(), 5000));

    // a stream that is still arriving when the port closes: every queued byte is delivered
    Bytes in = Pattern(5000, 5);
    WriteBoxEnd(box, in);
    Sleep(150);
    DWORD start = GetTickCount();
    EXPECT_EQ(1, ClosePort(window));
    EXPECT_LT(GetTickCount() - start, 3000u) << "ClosePort returns promptly";
    EXPECT_EQ(in, ReceivedBytes());

    EXPECT_EQ(INVALID_HANDLE_VALUE, Tty()->portHandle);
    uint8_t late = 'x';
    EXPECT_EQ(0, WritePort(window, &late, 1));
    EXPECT_TRUE(ReadBoxEnd(box, 1, 300).empty()) << "nothing reaches the box after close";
    EXPECT_EQ(1, ClosePort(window)) << "closing twice is harmless";
}

TEST_F(SerialLink, TypedKeysReachTheBoxOnlyWhileThePortIsOpen)
{
    ASSERT_NE(0, OpenWithWizard(INDEX_COM5));
    ReadBoxEnd(box, 1, 2000);
    EXPECT_NE(0u, Tty()->caretState) << "the caret shows while the port is open";
    for (uint8_t key : { uint8_t('a'), uint8_t(13), uint8_t(8) })
        EXPECT_EQ(1, ScreenKeyChar(window, key));
    EXPECT_EQ(Bytes({ 'a', 13, 8 }), ReadBoxEnd(box, 3, 2000)) << "one byte a key, control keys too";
    ClosePort(window);
    EXPECT_EQ(0, Tty()->caretState) << "closing removes the caret";
    EXPECT_EQ(0, ScreenKeyChar(window, 'b'));
    EXPECT_TRUE(ReadBoxEnd(box, 1, 300).empty());
}

TEST_F(SerialLink, IdleReaderThreadDoesNotSpin)
{
    ASSERT_NE(0, OpenWithWizard(INDEX_COM5));
    HANDLE thread = Tty()->readerThread;
    ASSERT_NE(nullptr, thread);
    FILETIME created, ended, kernel0, user0, kernel1, user1;
    ASSERT_TRUE(GetThreadTimes(thread, &created, &ended, &kernel0, &user0));
    PumpUntil([] { return false; }, 1000);
    ASSERT_TRUE(GetThreadTimes(thread, &created, &ended, &kernel1, &user1));
    auto ticks = [](const FILETIME &t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    uint64_t used = ticks(kernel1) - ticks(kernel0) + ticks(user1) - ticks(user0);
    EXPECT_LT(used, 2500000u) << "CPU time in 100 ns units over one idle second";
    // bytes still arrive promptly after the idle second
    WriteBoxEnd(box, Bytes({ 0x42 }));
    EXPECT_TRUE(PumpUntil([] { return ReceivedCount() == 1; }, 1000));
    ClosePort(window);
}

TEST_F(SerialLink, TelnetAndCom0FailWithoutTheWizard)
{
    int rows[] = { INDEX_TELNET, INDEX_NONE };
    for (int index : rows) {
        SCOPED_TRACE(index);
        EXPECT_EQ(0, OpenWithWizard(index));
        EXPECT_EQ(std::vector<PageKind>({ PAGE_PORT }), PagesSeen());
        EXPECT_EQ(index == INDEX_TELNET ? 9 : 0, Tty()->portNumber);
        EXPECT_EQ(0, Tty()->connected);
        EXPECT_EQ(INVALID_HANDLE_VALUE, Tty()->portHandle);
    }
}

TEST_F(SerialLink, CancelOnThePortPageStopsTheAttempt)
{
    StartAnsweringPages(AnswerWizard(INDEX_COM5, IDCANCEL));
    EXPECT_EQ(0, OpenPort(window));
    StopAnsweringPages();
    EXPECT_EQ(std::vector<PageKind>({ PAGE_PORT }), PagesSeen()) << "no page after Cancel";
    EXPECT_EQ(0, Tty()->connected);
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE)) << "the close is left for the main loop";
    EXPECT_EQ(1, Tty()->portNumber) << "Cancel keeps the port";
}

TEST(TtyRecord, NewRecordHasItsDefaults)
{
    HWND window = CreateTestMainWindow(nullptr);
    TtyState *tty = GetTtyState(window);
    ASSERT_NE(nullptr, tty);
    EXPECT_EQ(0, tty->connected);
    EXPECT_EQ(0u, tty->readerThreadId.load());
    EXPECT_EQ(1, tty->portNumber);
    EXPECT_EQ(115200u, tty->baudRate);
    EXPECT_EQ(8, tty->byteSize);
    EXPECT_EQ(0, tty->flowControl);
    EXPECT_EQ(0, tty->parity);
    EXPECT_EQ(0, tty->stopBits);
    EXPECT_EQ(1, tty->displayErrors);
    EXPECT_EQ(0, tty->caretState);
    EXPECT_EQ(RGB(0, 0, 0), tty->textColor);
    for (char cell : tty->screen)
        ASSERT_EQ(' ', cell);
    EXPECT_GT(tty->charWidth, 0);
    EXPECT_GT(tty->charHeight, 0);
    DestroyTestMainWindow(window);
    EXPECT_EQ(0, DestroyTtyState(window)) << "no record left";
}

}  // namespace
