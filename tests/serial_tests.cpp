// The real serial code against a pty pair under Wine: OpenPort with its
// pages answered as a user would, the reader thread's chunks, writes both
// ways, and ClosePort. The upload engine is replaced by a recorder here.
#include "tests/port_harness.h"
#include "upload/upload.h"
#include "app/app.h"
#include "app/ids.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

namespace {

std::mutex chunkLock;
std::vector<Bytes> chunks;
std::vector<DWORD> chunkThreads;   // the thread that delivered each chunk
std::atomic<int> holdNextChunk{ 0 };   // when set, the next chunk waits for chunkHeld or the limit
HANDLE chunkHeld;
DWORD holdLimitMs;
Bytes engineWrite;   // when set, the next chunk is answered with it, under the engine's lock
std::atomic<int> engineWrote{ -1 };

std::vector<size_t> chunkSizes()
{
    std::lock_guard<std::mutex> hold(chunkLock);
    std::vector<size_t> sizes;
    for (const Bytes &c : chunks)
        sizes.push_back(c.size());
    return sizes;
}

Bytes received()
{
    std::lock_guard<std::mutex> hold(chunkLock);
    Bytes all;
    for (const Bytes &c : chunks)
        all.insert(all.end(), c.begin(), c.end());
    return all;
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = uint8_t(seed + i * 7);
    return bytes;
}

const int INDEX_COM5 = 4, INDEX_TELNET = 8, INDEX_NONE = -2;
std::atomic<int> bannerAnsweredAtConnect{ -1 }, promptWatchAtConnect{ -1 };

}  // namespace

// The recorder that stands in for the upload engine.
int ProcessReceived(HWND, const uint8_t *bytes, DWORD count)
{
    {
        std::lock_guard<std::mutex> hold(chunkLock);
        chunks.emplace_back(bytes, bytes + count);
        chunkThreads.push_back(GetCurrentThreadId());
    }
    if (holdNextChunk.exchange(0))
        WaitForSingleObject(chunkHeld, holdLimitMs);
    if (!engineWrite.empty()) {
        Bytes out = std::exchange(engineWrite, Bytes());
        EnterCriticalSection(EngineLock());
        engineWrote = WritePort(mainWindow, out.data(), DWORD(out.size()));
        LeaveCriticalSection(EngineLock());
    }
    return 1;
}

namespace {

class SerialLink : public ::testing::Test {
protected:
    HWND window = nullptr;
    HANDLE box = INVALID_HANDLE_VALUE;

    void SetUp() override
    {
        chunks.clear();
        chunkThreads.clear();
        chunkHeld = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        holdLimitMs = HANG_MS;
        window = CreateTestMainWindow(nullptr);
        ASSERT_NE(nullptr, window);
        box = OpenBoxEnd("COM6");
        ASSERT_NE(INVALID_HANDLE_VALUE, box) << "the box end of the pty pair";
    }
    void TearDown() override
    {
        StopAnsweringPages();
        SetEvent(chunkHeld);   // a reader still held lets go, and ends
        ClosePort(window);
        CloseHandle(chunkHeld);
        closeRequested = 0;
        DestroyTestMainWindow(window);
        CloseHandle(box);
    }
    TtyState *Tty() { return GetTtyState(window); }

    // Through the wizard as a user answers it, with OK for the box's prompt at the connect page (no box here).
    int OpenWithWizard(int portIndex, int portButton = 3)
    {
        StartAnsweringPages([=](PageKind kind, HWND) {
            if (kind == PAGE_CONNECT) {
                bannerAnsweredAtConnect = upload.bannerAnswered.load();
                promptWatchAtConnect = upload.promptWatch.load();
            }
            return PageAnswer{ kind == PAGE_PORT ? portButton : GoOnButtonOf(kind), portIndex };
        });
        int result = OpenPort(window);
        StopAnsweringPages();
        return result;
    }
    int OpenCom5()   // past the cable page's "s"
    {
        int opened = OpenWithWizard(INDEX_COM5);
        return opened && ReadBoxEnd(box, 1, 2000).size() == 1;
    }
    // COM5, its reader held inside the engine with its first byte until chunkHeld or the limit.
    void OpenAndHoldTheReader(DWORD limitMs)
    {
        holdLimitMs = limitMs;
        ASSERT_TRUE(OpenCom5());
        holdNextChunk = 1;
        WriteBoxEnd(box, { 0x01 });
        ASSERT_TRUE(PumpUntil([] { return holdNextChunk == 0; }, HANG_MS)) << "the reader holds its first byte";
    }
};

// COM5 opened through the wizard's pages at the line's settings; bytes both
// ways; ClosePort delivers what came before it, and then nothing is written.
TEST_F(SerialLink, OpenPortRunsTheWizardAndBytesTravelBothWaysUntilClose)
{
    upload.bannerAnswered = 1;
    upload.promptWatch = 0;
    ASSERT_NE(0, OpenWithWizard(INDEX_COM5));
    EXPECT_EQ(std::vector<PageKind>({ PAGE_PORT, PAGE_CABLE, PAGE_DISCONNECT, PAGE_CONNECT }), PagesSeen());
    EXPECT_EQ(std::make_tuple(5, 1, true, true), std::make_tuple(int(Tty()->portNumber), Tty()->connected.load(),
                                                                 Tty()->readerThreadId != 0, Tty()->caretState != 0))
        << "COM5, connected, its reader running, the caret shown";
    EXPECT_EQ(Bytes({ 's' }), ReadBoxEnd(box, 1, 2000)) << "the cable page's Next";
    EXPECT_EQ(std::make_tuple(0, 40), std::make_tuple(bannerAnsweredAtConnect.load(), promptWatchAtConnect.load()))
        << "the banner reset and ten seconds for a prompt before the connect page";
    EXPECT_EQ(nullptr, connectDialog);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(Tty()->portHandle, &dcb));
    EXPECT_EQ(std::make_tuple(115200, 8, NOPARITY, ONESTOPBIT, 0, 0),
              std::make_tuple(int(dcb.BaudRate), int(dcb.ByteSize), int(dcb.Parity), int(dcb.StopBits), int(dcb.fOutxCtsFlow), int(dcb.fOutX)))
        << "speed, data bits, parity, stop bits, no handshake";

    Bytes out = pattern(3000, 11), in = pattern(5000, 5);
    EXPECT_EQ(1, WritePort(window, out.data(), DWORD(out.size())));
    EXPECT_EQ(out, ReadBoxEnd(box, out.size(), HANG_MS));
    WriteBoxEnd(box, in);
    EXPECT_TRUE(PumpUntil([&] { return received().size() >= in.size(); }, HANG_MS));
    EXPECT_EQ(1, ClosePort(window));
    EXPECT_EQ(in, received()) << "every byte delivered once, in order";
    EXPECT_EQ(std::make_tuple(0, 0u, (HANDLE) nullptr, 0, INVALID_HANDLE_VALUE),
              std::make_tuple(Tty()->connected.load(), Tty()->readerThreadId, Tty()->readerThread, int(Tty()->caretState), Tty()->portHandle))
        << "not connected, the reader gone, the caret removed, the port closed";
    uint8_t late = 'x';
    EXPECT_EQ(0, WritePort(window, &late, 1));
    EXPECT_TRUE(ReadBoxEnd(box, 1, 300).empty()) << "nothing reaches the box after close";
    EXPECT_EQ(1, ClosePort(window)) << "closing twice is harmless";
}

// A copy of the reader's thread handle, to see when it has ended.
HANDLE readerThreadOf(TtyState *tty)
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), tty->readerThread, GetCurrentProcess(), &thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return thread;
}

// Bytes that queue while the reader is inside the engine reach it in chunks
// of 80, in order. Idle, the reader waits in the kernel: with reads that
// would wait longer than a hang, bytes still wake it at once, and ClosePort
// ends the pending wait. (What it costs idle is the benchmark's.)
TEST_F(SerialLink, ReaderDeliversQueuedBytesInChunksOf80AndWakesForTheNextByte)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndHoldTheReader(HANG_MS));
    COMMTIMEOUTS patient = { MAXDWORD, 0, 2 * HANG_MS, 0, 1000 };   // for its waits after this chunk
    SetCommTimeouts(Tty()->portHandle, &patient);
    Bytes burst = pattern(200, 3);
    WriteBoxEnd(box, burst);
    EXPECT_TRUE(PumpUntil([&] {
        DWORD errors;
        COMSTAT queued = {};
        return ClearCommError(Tty()->portHandle, &errors, &queued) && queued.cbInQue >= burst.size();
    }, HANG_MS)) << "the burst waits in the port";
    SetEvent(chunkHeld);
    ASSERT_TRUE(PumpUntil([] { return received().size() == 201; }, HANG_MS));
    EXPECT_EQ(std::vector<size_t>({ 1, 80, 80, 40 }), chunkSizes());
    HANDLE thread = readerThreadOf(Tty());
    Bytes next = pattern(200, 9);
    WriteBoxEnd(box, next);
    EXPECT_TRUE(PumpUntil([] { return received().size() == 401; }, HANG_MS)) << "woken by the bytes";
    burst.insert(burst.begin(), 0x01);
    burst.insert(burst.end(), next.begin(), next.end());
    EXPECT_EQ(burst, received());
    ClosePort(window);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, HANG_MS)) << "the pending read ends with the close, not its time-out";
    CloseHandle(thread);
}

// A reader inside the engine (a page; here a chunk held 4.5 s) is waited for:
// ClosePort returns only once it has ended and the device is free.
TEST_F(SerialLink, ClosePortWaitsForAReaderInTheEngine)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndHoldTheReader(4500));
    HANDLE thread = readerThreadOf(Tty());
    EXPECT_EQ(1, ClosePort(window));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "the reader has ended";
    EXPECT_EQ(std::make_tuple(0u, (HANDLE) nullptr), std::make_tuple(Tty()->readerThreadId, Tty()->readerThread));
    HANDLE again = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, again) << "the device was released";
    CloseHandle(again);
    CloseHandle(thread);
}

// A reader stuck in its kernel wait (suspended there) is given up on in
// bounded time, releases its device itself when it ends, never hands on a
// byte of the next port, and leaves no handle behind.
TEST_F(SerialLink, ReaderGivenUpOnReleasesItsDeviceAndNeverReadsTheNext)
{
    DWORD handlesBefore = 0, handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    ASSERT_TRUE(OpenCom5());
    WriteBoxEnd(box, { 0x01 });   // delivered, the reader goes back into its kernel wait
    ASSERT_TRUE(PumpUntil([&] { return received().size() == 1 && Tty()->reader->state == READER_WAITING; }, HANG_MS));
    HANDLE old = readerThreadOf(Tty());
    SuspendThread(old);
    EXPECT_EQ(1, ClosePort(window)) << "given up on, not waited for";
    EXPECT_EQ(INVALID_HANDLE_VALUE, Tty()->portHandle);
    // Wine lets the device be opened again beside the old reader's handle:
    // the very case in which an old reader must not read the new port.
    ASSERT_TRUE(OpenCom5());
    Bytes in = pattern(300, 1);
    WriteBoxEnd(box, in);
    EXPECT_TRUE(PumpUntil([] { return received().size() == 301; }, HANG_MS));
    // The old reader wakes while bytes wait in the new one's queue (the new
    // reader is held inside the engine meanwhile): its pending read may see
    // them, but it must hand nothing on and take nothing away.
    holdNextChunk = 1;
    WriteBoxEnd(box, { 0x48 });
    EXPECT_TRUE(PumpUntil([] { return holdNextChunk == 0; }, HANG_MS)) << "the new reader holds a chunk";
    Bytes more = pattern(300, 2);
    WriteBoxEnd(box, more);
    EXPECT_TRUE(PumpUntil([&] { COMSTAT queued = {}; DWORD errors = 0;
                                return ClearCommError(Tty()->portHandle, &errors, &queued) && queued.cbInQue == more.size(); },
                          HANG_MS)) << "the bytes wait in the new port's queue";
    ResumeThread(old);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(old, 0) == WAIT_OBJECT_0; }, HANG_MS))
        << "it ends once its wait ends";
    CloseHandle(old);
    SetEvent(chunkHeld);
    const Bytes END = { 0x5A };   // once the new reader delivers it, it has delivered all before it
    WriteBoxEnd(box, END);
    EXPECT_TRUE(PumpUntil([] { return !received().empty() && received().back() == 0x5A; }, HANG_MS));
    in.push_back(0x48);
    in.insert(in.end(), more.begin(), more.end());
    in.insert(in.end(), END.begin(), END.end());
    Bytes got = received();
    got.erase(got.begin());   // the old reader's 0x01
    // Every byte delivered once, in order, but the one that a read the old
    // reader left pending on the shared device may have taken. A purge
    // through the old handle as it ends would empty the new one's queue.
    size_t lost = 0, at = 0;
    for (uint8_t byte : in) {
        if (at < got.size() && got[at] == byte)
            at++;
        else
            lost++;
    }
    printf("%u of the %u bytes written for the new reader never reached the engine\n", unsigned(lost), unsigned(in.size()));
    EXPECT_EQ(got.size(), at) << "bytes delivered out of order, twice or from nowhere";
    EXPECT_LE(lost, 1u) << "the old reader emptied the new port's input";
    {
        std::lock_guard<std::mutex> hold(chunkLock);
        for (size_t i = 1; i < chunkThreads.size(); i++)
            EXPECT_EQ(Tty()->readerThreadId, chunkThreads[i]) << "only the new reader delivers";
    }
    ClosePort(window);
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_EQ(handlesBefore, handlesAfter) << "no handle left behind";
}

// A box that talks without pause at the line's rate, in a USB adapter's
// bursts and a byte at a time: ClosePort still ends the reader at once.
TEST_F(SerialLink, ClosePortEndsTheReaderAtOnceWhileTheBoxTalks)
{
    for (size_t burst : { 12, 1 }) {
        SCOPED_TRACE(burst);
        ASSERT_TRUE(OpenCom5());
        std::atomic<int> talking{ 1 };
        std::thread talker([&] {
            LARGE_INTEGER frequency, now, next;
            QueryPerformanceFrequency(&frequency);
            QueryPerformanceCounter(&next);
            while (talking) {
                WriteBoxEnd(box, Bytes(burst, 'x'));
                next.QuadPart += frequency.QuadPart * burst / 11520;
                do
                    QueryPerformanceCounter(&now);
                while (now.QuadPart < next.QuadPart);
            }
        });
        EXPECT_TRUE(PumpUntil([] { return received().size() > 2000; }, HANG_MS)) << "the stream arrives";
        HANDLE thread = readerThreadOf(Tty());
        // A reader kept delivering by the stream would hold ClosePort for ever.
        EXPECT_EQ(1, ClosePort(window));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, HANG_MS)) << "the reader ends";
        talking = 0;
        talker.join();
        CloseHandle(thread);
        std::lock_guard<std::mutex> hold(chunkLock);
        chunks.clear();
    }
}

// A device that cannot be opened (TELNET, or no entry: no bare number) and
// Cancel end the attempt at the port page; Cancel leaves WM_CLOSE queued.
TEST_F(SerialLink, PortPageChoicesThatOpenNothingEndTheAttemptThere)
{
    struct { const char *name; int index, button, portNumber; bool close; } rows[] = {
        { "TELNET", INDEX_TELNET, 3, 9, false }, { "no entry", INDEX_NONE, 3, 0, false }, { "Cancel", INDEX_COM5, IDCANCEL, 1, true },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        Tty()->portNumber = 1;
        EXPECT_EQ(0, OpenWithWizard(row.index, row.button));
        EXPECT_EQ(std::vector<PageKind>({ PAGE_PORT }), PagesSeen());
        EXPECT_EQ(std::make_tuple(row.portNumber, 0), std::make_tuple(int(Tty()->portNumber), Tty()->connected.load()));
        EXPECT_EQ(INVALID_HANDLE_VALUE, Tty()->portHandle);
        MSG msg;
        EXPECT_EQ(row.close, bool(PeekMessageA(&msg, window, WM_CLOSE, WM_CLOSE, PM_REMOVE))) << "WM_CLOSE left for the main loop";
        closeRequested = 0;
    }
}

// The box stops reading while the engine writes (an adapter pulled out
// mid-block): the write can never complete, and ClosePort still ends the
// reader instead of waiting for the driver for ever.
TEST_F(SerialLink, ClosePortEndsAnEngineWriteTheDriverHolds)
{
    ASSERT_TRUE(OpenCom5());
    COMMTIMEOUTS never = { MAXDWORD, 0, 1000, 0, 0 };   // a driver that does not honour the write time-out
    ASSERT_TRUE(SetCommTimeouts(Tty()->portHandle, &never));
    engineWrite = pattern(4 << 20, 3);   // far more than the pty pair buffers
    WriteBoxEnd(box, { 'w' });
    ASSERT_TRUE(PumpUntil([] { return received().size() == 1; }, HANG_MS));
    // Nobody reads the box end until ClosePort has returned, or a minute
    // has passed: then the write ends by itself and the test fails.
    std::atomic<int> closed{ 0 }, rescued{ 0 };
    std::thread rescue([&] {
        for (DWORD start = GetTickCount(); !closed && GetTickCount() - start < HANG_MS;)
            Sleep(50);
        while (!closed)
            rescued += !ReadBoxEnd(box, 65536, 100).empty();
    });
    EXPECT_EQ(1, ClosePort(window));
    closed = 1;
    rescue.join();
    EXPECT_EQ(0, rescued.load()) << "ClosePort waited until the driver let the write go";
    EXPECT_EQ(0, engineWrote.load()) << "the write reports that it did not complete";
    ReadBoxEnd(box, 8 << 20, 500);   // what did go out, for the next test
}

}  // namespace
