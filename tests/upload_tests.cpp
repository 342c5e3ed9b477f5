// The upload engine driven byte by byte as a boot monitor would drive it:
// every byte written and every command posted is checked. WritePort is a
// recorder here, and the port is open while portOpen says so.
#include "tests/upload_harness.h"
#include "serial/serial.h"
#include "app/ids.h"
#include "app/app.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

namespace {

Bytes word(uint32_t v) { return { uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v) }; }

class Upload : public ::testing::Test {
protected:
    HWND mainWin = nullptr, progressWin = nullptr;
    Bytes image;

    void SetUp() override
    {
        ASSERT_TRUE((mainWin = MakeMessageWindow()) && (progressWin = MakeMessageWindow()));
        ResetUpload();
    }
    void TearDown() override
    {
        ResetUpload();
        DestroyWindow(mainWin);
        DestroyWindow(progressWin);
    }
    int Choose(const std::string &path) { return ChooseImage(mainWin, path); }
    // A SIZE-byte image chosen, its progress page open, and then what the box
    // sends (the handshake and on) fed; the image's path, "" if refused.
    std::string StartTransfer(uint32_t size, const Bytes &boxSent)
    {
        std::string path = WriteImage("transfer.bin", ValidImage(size, 0), &image);
        if (Choose(path) != 0)
            return "";
        upload.progressDialog = progressWin;
        Feed(mainWin, boxSent);
        return path;
    }
    Bytes TakeWritten() { return std::exchange(portWritten, Bytes()); }
    void Forget() { portWritten.clear(); TakePosted(); }   // what setting up the case wrote and posted
    // The commands posted since the last call, in order: "main fail, page percent 2".
    std::string Posts()
    {
        static const std::pair<WPARAM, const char *> names[] = {
            { CMD_MONITOR_FOUND, "found" }, { CMD_SHOW_PROGRESS, "progress" }, { CMD_FAIL_RETRY, "fail" },
            { CMD_NO_RESPONSE, "no-response" }, { IDC_PERCENT, "percent" }, { IDCANCEL, "cancel" },
        };
        std::string text;
        for (const Posted &p : TakePosted()) {
            text += text.empty() ? "" : ", ";
            text += p.window == mainWin ? "main " : p.window == progressWin ? "page " : "other ";
            std::string name = std::to_string(p.id);
            for (auto n : names)
                name = n.first == p.id ? n.second : name;
            text += name + (p.value ? " " + std::to_string(p.value) : "");
        }
        return text;
    }
    std::tuple<int, int, int, int> StateAndWatches()
    {
        return std::make_tuple(upload.uploadState.load(), upload.ackWatch1.load(), upload.ackWatch2.load(), upload.startWatch.load());
    }
};

// ---------------------------------------------------------------- exchange

// Images ending inside a block, on a block edge and a byte past one: each
// block with its sum after the one before is acknowledged twice, one report
// a block, the rest of the last chunk dropped. A handshake ends the prompt
// watch; a selection mid-transfer leaves the image alone.
TEST_F(Upload, TransferSendsEveryBlockWithItsChecksumAndReportsEachOnce)
{
    struct { uint32_t size; int blocks; } rows[] = { { 2 * 1024 + 300, 3 }, { 2048, 2 }, { 1025, 2 }, { 1024, 1 }, { 128, 1 } };
    for (auto row : rows) {
        SCOPED_TRACE(row.size);
        ResetUpload();
        upload.promptWatch = TICKS_PROMPT;
        upload.startWatch = TICKS_START;
        ASSERT_NE("", StartTransfer(row.size, HANDSHAKE));
        EXPECT_EQ(REPLY, TakeWritten());
        Feed(mainWin, ACK);
        EXPECT_EQ(Concat({ word(row.size), ExpectedBlock(image, 0) }), TakeWritten());
        EXPECT_EQ("main progress " + std::to_string(row.blocks), Posts());
        for (int block = 1; block <= row.blocks; block++) {
            EXPECT_EQ(std::make_tuple(UPLOAD_WAIT_ACK1, 20, 0, 0), StateAndWatches()) << block;
            Feed(mainWin, ACK);
            EXPECT_EQ(std::make_tuple(UPLOAD_WAIT_ACK2, 0, 20, 0), StateAndWatches()) << block;
            EXPECT_TRUE(TakeWritten().empty()) << "the first acknowledgement only moves on";
            if (block == 1 && row.blocks > 1) {
                EXPECT_EQ(CHOOSE_BUSY, ChooseFirmwareImage(mainWin, 1));
                EXPECT_EQ(SENDER_IDLE, upload.senderState) << "no typing begins";
            }
            bool last = block == row.blocks;
            Feed(mainWin, last ? Concat({ ACK, HANDSHAKE }) : ACK);
            EXPECT_EQ(last ? Bytes() : ExpectedBlock(image, block * BLOCK_SIZE), TakeWritten()) << block;
            EXPECT_EQ("page percent " + std::to_string(block), Posts());
        }
        EXPECT_EQ(UPLOAD_IDLE, upload.uploadState);
        EXPECT_EQ(nullptr, upload.imageFile) << "completed";
        Feed(mainWin, ToBytes("\r\nHanSh> "));
        Tick(mainWin, TICKS_PROMPT);
        EXPECT_EQ("", Posts()) << "the prompt watch ended with the go-ahead";
    }
}

// A reject in either acknowledgement state ends the transfer, reports no
// failure and gives back the start time; a new handshake restarts from the
// first byte. Other bytes (near misses too) change nothing.
TEST_F(Upload, RejectAbandonsAndNewHandshakeRestartsFromFirstByte)
{
    ASSERT_NE("", StartTransfer(3000, {}));
    const Bytes stray = { 0x00, 0x41, 0x0D, 0xAA, 0x55, 0x11, 0x22, 0xF1, 0xFF, 0x13 };
    for (uint8_t reject : { 0xF0, 0xFE }) {
        for (int inSecond = 0; inSecond < 2; inSecond++) {
            SCOPED_TRACE(int(reject) * 10 + inSecond);
            Feed(mainWin, Concat({ HANDSHAKE, ACK, ACKS }));
            EXPECT_EQ(Concat({ REPLY, word(3000), ExpectedBlock(image, 0), ExpectedBlock(image, 1024) }), TakeWritten());
            Feed(mainWin, inSecond ? Concat({ stray, ACK, stray }) : stray);
            EXPECT_EQ(inSecond ? UPLOAD_WAIT_ACK2 : UPLOAD_WAIT_ACK1, upload.uploadState);
            Feed(mainWin, Bytes({ reject }));
            EXPECT_TRUE(TakeWritten().empty());
            EXPECT_EQ(std::make_tuple(UPLOAD_IDLE, 0, 0, 40), StateAndWatches());
            EXPECT_NE(nullptr, upload.imageFile);
            EXPECT_EQ("main progress 3, page percent 1, page cancel", Posts());
        }
    }
    Feed(mainWin, Concat({ HANDSHAKE, ACK }));
    Tick(mainWin, TICKS_ACK - 1);   // the new block's own watch is not yet out
    EXPECT_EQ("main progress 3", Posts()) << "the restart is no failure";
}

// ---------------------------------------------------------------- matchers

// The banner is answered once, only while asked for, and not behind a blank.
// Prompts count in order with anything between, only while watched, one
// report for many. A handshake counts only whole; anything but the go-ahead
// after it drops it.
TEST_F(Upload, BannerPromptAndHandshakeMatchersTakeOnlyTheExactBytes)
{
    const std::string banner = BOOT_BANNER, handshake(HANDSHAKE.begin(), HANDSHAKE.end());
    struct { const char *name; std::string in; size_t chunk; int answered, watch; const char *out, *posts; int state; } rows[] = {
        { "banner before it is asked for", banner, 80, 1, 0, "", "", UPLOAD_IDLE },
        { "banner behind a blank", " " + banner, 80, 0, 0, "", "", UPLOAD_IDLE },
        { "banner byte by byte", banner, 1, 0, 0, "s", "", UPLOAD_IDLE },
        { "banner twice, answered once", banner + banner, 80, 0, 0, "s", "", UPLOAD_IDLE },
        { "banner after other text", "x" + banner, 80, 0, 0, "s", "", UPLOAD_IDLE },
        { "shell>", "shell>", 1, 1, TICKS_PROMPT, "", "main found", UPLOAD_IDLE },
        { "[TAVIR]", "[TAVIR]", 1, 1, 1, "", "main found", UPLOAD_IDLE },
        { "<mon>", "<mon>", 1, 1, 1, "", "main found", UPLOAD_IDLE },
        { "HanSh>", "HanSh>", 1, 1, 1, "", "main found", UPLOAD_IDLE },
        { "s-h-x>", "s-h-x>", 1, 1, 1, "", "main found", UPLOAD_IDLE },
        { "hs>", "hs>", 1, 1, 1, "", "", UPLOAD_IDLE },
        { "sh", "sh", 1, 1, 1, "", "", UPLOAD_IDLE },
        { "sh<mon>", "sh<mon>", 1, 1, 1, "", "main found", UPLOAD_IDLE },
        { "prompt while not watched", "HanSh> ", 1, 1, 0, "", "", UPLOAD_IDLE },
        { "handshake's first byte not tried again", "\xAA" + handshake, 80, 1, 0, "", "", UPLOAD_IDLE },
        { "handshake", handshake, 1, 1, 0, "\xFA\xAA", "", UPLOAD_STARTING },
        { "a handshake while starting drops it", handshake + handshake + "\xFA", 80, 1, 0, "\xFA\xAA", "", UPLOAD_IDLE },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        ASSERT_NE("", StartTransfer(1500, {}));
        upload.bannerAnswered = row.answered;
        upload.promptWatch = row.watch;
        Feed(mainWin, ToBytes(row.in), row.chunk);
        EXPECT_EQ(ToBytes(row.out), TakeWritten());
        EXPECT_EQ(row.posts, Posts());
        EXPECT_EQ(row.state, upload.uploadState);
    }
}

// ---------------------------------------------------------------- image check

// The header passes at 0 or 0x8000 only whole and inside the window (its
// edges too, bits 31 and 29 forced): the load command, the file open at its
// start; a failure closes it. A file past 31 bits fails; 0 wins over 0x8000.
TEST_F(Upload, HeaderCheckBoundariesAtBothOffsets)
{
    // tail: the file's bytes from the header's offset on
    struct { const char *name; uint32_t address, word9, word10, tail; const char *load; } rows[] = {
        { "lowest base", 0xBFC00080u, 0x100000, 0xBFC00000u, 0x1000, "bfbf8000" },
        { "highest base", 0xBFE00080u, 0x100000, 0xBFE00000u, 0x1000, "bfdf8000" },
        { "base just below", 0xBFC0007Fu, 0x100000, 0xBFC00000u, 0x1000, nullptr },
        { "base just above", 0xBFE00081u, 0x100000, 0xBFC00000u, 0x1000, nullptr },
        { "entry just below", 0xBFC00080u, 0x100000, 0xBFBFFFFFu, 0x1000, nullptr },
        { "entry just above", 0xBFC00080u, 0x100000, 0xBFE00001u, 0x1000, nullptr },
        { "forced bits", 0x1FC00080u, 0x100000, 0x1FC00000u, 0x1000, "bfbf8000" },
        { "address wraps below zero", 0x00000005u, 0x100000, 0xBFC00000u, 0x1000, nullptr },
        { "largest size", 0xBFC00080u, 0x200000, 0xBFC00000u, 0x1000, "bfbf8000" },
        { "size too large", 0xBFC00080u, 0x200001, 0xBFC00000u, 0x1000, nullptr },
        { "size with bit 31", 0xBFC00080u, 0x80000000u, 0xBFC00000u, 0x1000, nullptr },
        { "header cut short, its words valid", 0xBFC00080u, 0x100000, 0xBFC00000u, 100, nullptr },
        { "nothing there", 0, 0, 0, 0, nullptr },
    };
    for (auto row : rows) {
        for (long offset : { 0L, long(ALT_HEADER_OFFSET) }) {
            SCOPED_TRACE(std::string(row.name) + (offset ? " at 0x8000" : " at 0"));
            uint32_t size = uint32_t(offset) + row.tail;
            ASSERT_EQ(row.load ? 0 : 1, Choose(WriteImage("bounds.bin", { size, offset, row.address, row.word9, row.word10 })));
            if (!row.load) {
                EXPECT_EQ(nullptr, upload.imageFile) << "a failed file is closed";
                continue;
            }
            EXPECT_EQ(offset ? std::string("\r\rq 0x") + row.load + "\r" : "\r\rq\r", upload.loadCommand);
            EXPECT_EQ(std::make_tuple(int(size), 0L), std::make_tuple(upload.imageFileSize.load(), ftell(upload.imageFile)))
                << "the size, and the stream left at the start";
        }
    }
    std::string path = WriteImage("huge.bin", ValidImage(4096, 0));
    ASSERT_TRUE(ResizeFile(path, 0x80000000LL));
    EXPECT_EQ(1, Choose(path));
    EXPECT_EQ(nullptr, upload.imageFile);
    DeleteFileA(path.c_str());
    path = WriteImage("both.bin", ValidImage(0x10000, 0), &image);
    FILE *file = fopen(path.c_str(), "r+b");
    fseek(file, ALT_HEADER_OFFSET, SEEK_SET);
    fwrite(image.data(), 1, HEADER_SIZE, file);
    fclose(file);
    ASSERT_EQ(0, Choose(path));
    EXPECT_STREQ("\r\rq\r", upload.loadCommand);
}

// An image cut short mid-transfer (beyond the stream's buffer): only whole
// blocks of what is left go out, then a failure instead of a completion.
TEST_F(Upload, ImageThatShrinksDuringTransferFailsInsteadOfCompleting)
{
    std::string path = StartTransfer(20000, Concat({ HANDSHAKE, ACK }));
    ASSERT_NE("", path);
    Forget();
    ASSERT_TRUE(ResizeFile(path, 5000));
    Bytes sent, expected;
    std::string posts;
    int acked = 0;
    for (; upload.uploadState == UPLOAD_WAIT_ACK1 && acked < 20; acked++) {
        Feed(mainWin, ACKS);
        sent = Concat({ sent, TakeWritten() });
        posts += "page percent " + std::to_string(acked + 1) + ", ";
        if (upload.uploadState == UPLOAD_WAIT_ACK1)   // the next block went out, not the failure
            expected = Concat({ expected, ExpectedBlock(image, (acked + 1) * BLOCK_SIZE) });
    }
    EXPECT_LE(acked * BLOCK_SIZE, 5000) << "the blocks sent lie whole within what is left";
    EXPECT_EQ(expected, sent);
    EXPECT_EQ(posts + "page cancel, main fail", Posts());
    EXPECT_NE(nullptr, upload.imageFile) << "no completion";
}

// ---------------------------------------------------------------- tick

// One character a tick from the tick after the set-up, the load command
// after the monitor's, the start watchdog out on tick 40. A new set-up
// replaces the text; a line error's "s" stops without reading past its end;
// a new attempt stops it and its watchdog.
TEST_F(Upload, SenderTypesOneCharacterATickUntilANewTextOrAttempt)
{
    static const char guard[] = "s\0XXXXXXXX";
    struct { const char *name; long offset; int what; const char *typed; const char *posts; } rows[] = {
        { "header at 0", 0, 0, "\r\rmon\r\r\rq\r", "main fail" },
        { "header at 0x8000", ALT_HEADER_OFFSET, 0, "\r\rmon\r\r\rq 0xbfbf9000\r", "main fail" },
        { "reboot set-up mid-text", 0, 1, "\r\rm\r\rboot\r", "main fail" },
        { "line error", 0, 2, "\r\rm", "main fail" },
        { "new attempt", 0, 3, "\r\rm", "" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        ASSERT_EQ(0, Choose(WriteImage("pace.bin", ValidImage(0x9000, row.offset))));
        StartCommandSequence();
        std::string typed = row.typed;
        for (int tick = 1; tick <= 80; tick++) {
            Tick(mainWin, 1);
            if (tick == 3 && row.what)
                row.what == 1 ? StartRebootCommand() : row.what == 2 ? ReplaceSenderText(guard) : StopUploadAttempt();
            EXPECT_EQ(typed.substr(0, tick), std::string(portWritten.begin(), portWritten.end())) << "after tick " << tick;
            EXPECT_EQ(tick == 40 ? row.posts : "", Posts()) << "after tick " << tick;
        }
        EXPECT_EQ(SENDER_IDLE, upload.senderState);
    }
}

// Each watchdog reports on the tick its count runs out, in its own state
// only, then stays quiet; a block watchdog closes the page and ends the
// transfer. Several at once post in the tick's order.
TEST_F(Upload, WatchdogsFireOnTheirCountInTheirStateOnly)
{
    SharedWord *ack1 = &upload.ackWatch1, *ack2 = &upload.ackWatch2, *prompt = &upload.promptWatch, *start = &upload.startWatch;
    struct { const char *name; int state; bool page; std::vector<SharedWord *> watches; int count; SharedWord *other;
             const char *posts; int after; } rows[] = {
        { "first ack", UPLOAD_WAIT_ACK1, true, { ack1 }, 20, ack2, "page cancel, main fail", UPLOAD_ENDED },
        { "second ack", UPLOAD_WAIT_ACK2, true, { ack2 }, 20, ack1, "page cancel, main fail", UPLOAD_ENDED },
        { "second ack, no page", UPLOAD_WAIT_ACK2, false, { ack2 }, 20, ack1, "main fail", UPLOAD_ENDED },
        { "block watches while idle", UPLOAD_IDLE, true, { ack1, ack2 }, 3, nullptr, "", UPLOAD_IDLE },
        { "prompt", UPLOAD_IDLE, true, { prompt }, 40, nullptr, "main no-response", UPLOAD_ENDED },
        { "carriage return, in a transfer", UPLOAD_WAIT_ACK2, true, { prompt }, 4, nullptr, "page cancel, main no-response", UPLOAD_ENDED },
        { "start", UPLOAD_STARTING, true, { start }, 40, nullptr, "main fail", UPLOAD_ENDED },
        { "all at once: one outcome", UPLOAD_WAIT_ACK1, true, { ack1, prompt, start }, 1, nullptr,
          "page cancel, main fail", UPLOAD_ENDED },
        { "an attempt already reported", UPLOAD_ENDED, true, { prompt, start }, 2, nullptr, "", UPLOAD_ENDED },
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        upload.progressDialog = row.page ? progressWin : nullptr;
        upload.uploadState = row.state;
        for (SharedWord *watch : row.watches)
            *watch = row.count;
        if (row.other)
            *row.other = 20;
        Tick(mainWin, row.count - 1);
        EXPECT_EQ("", Posts()) << "a tick early";
        EXPECT_TRUE(!row.other || *row.other == 20) << "the other state's watch is not counted";
        Tick(mainWin, 1);
        EXPECT_EQ(row.posts, Posts());
        EXPECT_EQ(row.after, upload.uploadState);
        Tick(mainWin, 50);
        EXPECT_EQ("", Posts()) << "a run-out watch stays quiet";
        Feed(mainWin, HANDSHAKE);
        EXPECT_EQ(row.after != UPLOAD_ENDED, !TakeWritten().empty()) << "a box that shakes hands again after a report gets nothing";
    }
}

// ---------------------------------------------------------------- interleavings
// The engine and the tick on the one tick where both decide, in both orders:
// exactly one outcome, and nothing sent for a transfer already failed.

TEST_F(Upload, AcknowledgementRejectOrPromptOnTheTickItsWatchdogRunsOut)
{
    // later: what a silent box still brings (the next watchdog, the start time a reject gives back)
    struct { const char *name; int setUp; uint8_t byte; int tickFirst; bool sent; const char *posts; const char *later; } rows[] = {
        { "first ack, then tick", 0, 0xFA, 0, 0, "", "page cancel, main fail" },
        { "tick, then first ack", 0, 0xFA, 1, 0, "page cancel, main fail", "" },
        { "second ack, then tick", 1, 0xFA, 0, true, "page percent 1", "page cancel, main fail" },
        { "tick, then second ack", 1, 0xFA, 1, 0, "page cancel, main fail", "" },
        { "reject, then tick", 1, 0xF0, 0, 0, "page cancel", "main fail" },
        { "tick, then reject", 1, 0xF0, 1, 0, "page cancel, main fail", "" },
        { "prompt, then tick", 2, '>', 0, 0, "main found", "" },
        { "tick, then prompt", 2, '>', 1, 0, "main no-response", "" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        if (row.setUp == 2) {
            upload.promptWatch = 1;
            Feed(mainWin, ToBytes("HanSh"));
        } else {   // a three-block transfer waiting for block 1's first or second acknowledgement
            ASSERT_NE("", StartTransfer(3000, Concat({ HANDSHAKE, ACK, Bytes(row.setUp, 0xFA) })));
            (row.setUp ? upload.ackWatch2 : upload.ackWatch1) = 1;
            Forget();
        }
        if (row.tickFirst)
            Tick(mainWin, 1);
        Feed(mainWin, Bytes({ row.byte }));
        if (!row.tickFirst)
            Tick(mainWin, 1);
        EXPECT_EQ(row.sent ? ExpectedBlock(image, 1024) : Bytes(), TakeWritten());
        EXPECT_EQ(row.posts, Posts());
        Tick(mainWin, 2 * TICKS_START);
        EXPECT_EQ(row.later, Posts());
        EXPECT_TRUE(TakeWritten().empty());
    }
}

// A go-ahead that must not start sends no length and no block and reports
// at most once: an emptied image, a start watchdog already out, a selection
// holding the image; once closing, nothing more reaches the box at all. A
// reported failure ends its attempt: a box that shakes hands again (a
// monitor that restarts its load, a second box on a swapped cable) gets no
// answer until the next attempt.
TEST_F(Upload, GoAheadThatCannotStartSendsNoLengthAndReportsAtMostOnce)
{
    // A box that asks first (no ticks: no command typed) is bounded by the
    // start watchdog its handshake armed, also when its go-ahead is lost.
    struct { const char *name; int ticks, tries, replies, goAhead; const char *posts; } rows[] = {
        { "image emptied", 10, 2, 1, 1, "main fail" }, { "start watchdog ran out first", TICKS_START, 2, 0, 1, "main fail" },
        { "selection holds the image", 10, 2, 2, 1, "main fail" }, { "close requested", 0, 1, 1, 1, "main fail" },
        { "port closing", 0, 1, 1, 1, "main fail" }, { "box asked first, go-ahead lost", 0, 1, 1, 0, "main fail" },
        { "box asked first, then a stray byte", 0, 1, 1, 0, "main fail" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        std::string path = WriteImage("nostart.bin", ValidImage(3000, 0));
        ASSERT_EQ(0, Choose(path));
        if (row.ticks)
            StartCommandSequence();
        Tick(mainWin, row.ticks);
        TakeWritten();
        std::string name = row.name;
        ASSERT_TRUE(name != "image emptied" || ResizeFile(path, 0));
        ASSERT_TRUE(name != "selection holds the image" || ClaimImage(IMAGE_CHOOSING));
        for (int t = 0; t < row.tries; t++) {
            upload.bannerAnswered = 1;
            Feed(mainWin, HANDSHAKE);
            EXPECT_EQ(t < row.replies ? REPLY : Bytes(), TakeWritten()) << "try " << t;
            closeRequested = name == "close requested";
            portOpen = name != "port closing";
            upload.bannerAnswered = row.ticks == 0 ? 0 : 1;
            if (row.goAhead)
                Feed(mainWin, Concat({ ACK, ToBytes(BOOT_BANNER) }));
            else if (name == "box asked first, then a stray byte")
                Feed(mainWin, { 0x55 });
            EXPECT_TRUE(TakeWritten().empty()) << "try " << t;
            closeRequested = 0;
            portOpen = 1;
        }
        Tick(mainWin, 2 * TICKS_START);
        EXPECT_EQ(row.posts, Posts()) << "one report, no progress page";
        Feed(mainWin, HANDSHAKE);
        EXPECT_TRUE(TakeWritten().empty()) << "a reported attempt answers nothing more";
        StopUploadAttempt();
        Feed(mainWin, HANDSHAKE);
        EXPECT_EQ(REPLY, TakeWritten()) << "the next attempt answers";
    }
}

// ---------------------------------------------------------------- two threads
// The same decisions on two real threads, thousands of times: never two
// reports for one outcome, a block after a failure, or a reboot command cut.
// Each race runs a minimum of rounds and then as many as fit its time, so a
// busy machine runs fewer; each side must win a share of them, or the race
// was not run at all.

// Waits for another thread; gives up the processor while it waits, since on
// a busy machine that thread may need this core to go on.
void waitFor(const std::function<bool()> &done)
{
    for (int i = 0; !done(); i++) {
        if (i > 200)
            SwitchToThread();
    }
}

// The random wait before one side's act, kept so that both outcomes keep
// coming: longer after that side came first, shorter after it came late.
// How long is fair depends on how the machine runs the two threads (on a
// busy one only a scheduler's slice apart), so it is found as the rounds go.
struct Balance {
    double limit = 3000;   // spin steps
    uint32_t seed;
    explicit Balance(uint32_t start) : seed(start) {}
    void Wait()
    {
        seed = seed * 1103515245u + 12345u;
        for (volatile uint32_t i = 0, n = uint32_t(limit * (seed >> 16) / 65536); i < n; i = i + 1) {}
    }
    void Came(bool early) { limit = std::min(3e7, std::max(100.0, early ? limit * 1.2 : limit / 1.2)); }
};

// A thread that runs `work` after a random spin each time Go() starts a round.
struct Racer {
    std::atomic<int> go{ 0 }, started{ 0 }, released{ 0 }, done{ 0 }, stop{ 0 };
    Balance own{ 12345 };   // its limit stays: only the other side's follows the outcomes
    std::thread thread;
    explicit Racer(std::function<void()> work) : thread([this, work] {
        for (int r = 1;; r++) {
            waitFor([&] { return go.load() == r || stop.load(); });
            if (go.load() != r)
                return;
            started = r;
            waitFor([&] { return released.load() == r; });
            own.Wait();
            work();
            done = r;
        }
    }) {}
    ~Racer() { stop = 1; thread.join(); }
    // Starts a round and returns with the thread released at the same moment:
    // then the two sides' random spins alone decide who comes first, however
    // busy the machine.
    void Go()
    {
        go = go + 1;
        waitFor([this] { return started.load() == go.load(); });
        released = go.load();
    }
    void Wait() { waitFor([this] { return done.load() == go.load(); }); }
};

// One race's rounds and each side's wins. At least MIN_ROUNDS rounds, then
// more until RACE_MS is up; on a machine so busy that a side has won fewer
// than MIN_WINS times by then, more until it has, for up to RACE_LIMIT_MS.
const int MIN_ROUNDS = 300, MIN_WINS = 5;
const DWORD RACE_MS = 3000, RACE_LIMIT_MS = 40000;

struct Race {
    const char *name, *first, *second;
    int rounds = 0, firstWins = 0, secondWins = 0;
    DWORD start = GetTickCount();
    void Won(bool byFirst) { rounds++; (byFirst ? firstWins : secondWins)++; }
    bool More() const
    {
        DWORD spent = GetTickCount() - start;
        return rounds < MIN_ROUNDS || spent < RACE_MS || (std::min(firstWins, secondWins) < MIN_WINS && spent < RACE_LIMIT_MS);
    }
    // Fails unless each side won MIN_WINS rounds: fewer and the race was not run.
    void ExpectBothWon() const
    {
        printf("%s: %d rounds, %s won %d, %s won %d\n", name, rounds, first, firstWins, second, secondWins);
        EXPECT_GE(firstWins, MIN_WINS) << "the " << first << " (almost) never won: the race was not run";
        EXPECT_GE(secondWins, MIN_WINS) << "the " << second << " (almost) never won: the race was not run";
    }
};

TEST_F(Upload, EngineAndTickOnTwoThreadsNeverReportTwice)
{
    ASSERT_NE("", StartTransfer(3000, {}));
    Bytes toFeed;
    HWND window = mainWin;
    Balance tick(777), promptTick(778);
    int bad = 0;
    Race acks{ "acknowledgements against their watchdogs", "engine", "tick" };
    Race prompts{ "the prompt against its watch", "prompt", "watch" };
    auto count = [](const std::vector<Posted> &posted, WPARAM id) {
        return int(std::count_if(posted.begin(), posted.end(), [id](const Posted &p) { return p.id == id; }));
    };
    {
        Racer engine([&] { Feed(window, toFeed); });
        auto race = [&](const Bytes &bytes, Balance &balance) {
            toFeed = bytes;
            engine.Go();
            balance.Wait();
            UploadTimerTick(window);
            engine.Wait();
        };
        for (int r = 0; acks.More() || prompts.More(); r++) {
            int kind = r % 3;   // 0: first ack, 1: second ack, 2: reject, each against its watchdog
            StopUploadAttempt();
            ReleaseImage(IMAGE_SENDING);
            Feed(mainWin, Concat({ HANDSHAKE, ACK }));
            if (kind)
                Feed(mainWin, ACK);
            (kind ? upload.ackWatch2 : upload.ackWatch1) = 1;
            Forget();
            race(Bytes({ uint8_t(kind == 2 ? 0xF0 : 0xFA) }), tick);
            size_t sent = TakeWritten().size();
            std::vector<Posted> posted = TakePosted();
            int failures = count(posted, CMD_FAIL_RETRY);
            int engineWon = kind == 0 ? upload.uploadState == UPLOAD_WAIT_ACK2 : kind == 1 ? sent == 1028 : upload.startWatch > 0;
            acks.Won(engineWon);
            tick.Came(failures > 0);
            if (failures + engineWon != 1 || (failures && sent) || upload.ackWatch1 + upload.ackWatch2 > TICKS_ACK)
                bad++;
            // and the prompt against its watch, in an attempt of its own
            StopUploadAttempt();
            upload.promptWatch = 1;
            Feed(mainWin, ToBytes("<mon"));
            race(ToBytes(">"), promptTick);
            posted = TakePosted();
            int found = count(posted, CMD_MONITOR_FOUND);
            prompts.Won(found > 0);
            promptTick.Came(found == 0);
            if (found + count(posted, CMD_NO_RESPONSE) != 1)
                bad++;
        }
    }
    EXPECT_EQ(0, bad) << "rounds with two outcomes or none, or a block after a failure";
    acks.ExpectBothWon();
    prompts.ExpectBothWon();
}

// A new attempt or Abort at any moment of a transfer's start: no write in a
// later attempt or once ending. A selection against the go-ahead: exactly
// one gets the image, and the start watchdog reports a go-ahead that lost.
TEST_F(Upload, NewAttemptAbortAndSelectionWinCleanlyOverATransfer)
{
    ASSERT_NE("", StartTransfer(5000, {}));
    HWND window = mainWin;
    Bytes toFeed;
    Balance stop(4242), selection(4343);
    int late = 0, both = 0, neither = 0, unreported = 0;
    Race stops{ "a stop against a transfer's start", "stop inside", "stop outside" };
    Race selections{ "a selection against the go-ahead", "selection", "go-ahead" };
    {
        // A byte at a time with the processor given up between them, as a
        // reader hands them on: a stop then lands inside a transfer's start
        // also when the machine runs the two threads a scheduler's slice apart.
        Racer engine([&] {
            for (uint8_t b : toFeed) {
                Feed(window, { b });
                SwitchToThread();
            }
        });
        for (int r = 0; stops.More() || selections.More(); r++) {
            int kind = r % 3;   // 0: a new attempt, 1: Abort, 2: a selection
            StopUploadAttempt();
            ReleaseImage(IMAGE_SENDING);
            StartCommandSequence();
            StopSender();
            TakeWritten();
            writeTags.clear();
            // the selection races the go-ahead itself; a stop, anywhere in a transfer's start
            toFeed = kind == 2 ? Concat({ ACK, ACKS, ACKS }) : Concat({ HANDSHAKE, ACK, ACKS, ACKS });
            if (kind == 2)
                Feed(mainWin, HANDSHAKE);
            engine.Go();
            (kind == 2 ? selection : stop).Wait();
            int claimed = 0;
            if (kind == 0)
                StopUploadAttempt();
            else if (kind == 1)
                MarkClosing();
            else
                claimed = ClaimImage(IMAGE_CHOOSING);
            engine.Wait();
            TakePosted();
            Bytes written = TakeWritten();
            if (kind < 2) {
                for (const WriteTag &tag : writeTags)
                    late += tag.closing || tag.attempt != writeTags[0].attempt;
                bool inside = !writeTags.empty() && writeTags.size() < 9;
                stops.Won(inside);
                if (!inside)
                    stop.Came(writeTags.empty());
            } else {
                int sent = written.size() > REPLY.size();
                selections.Won(claimed);
                selection.Came(claimed);
                both += claimed && sent;
                neither += !claimed && !sent;
                unreported += claimed && upload.startWatch <= 0;
                ReleaseImage(IMAGE_CHOOSING);
            }
            closeRequested = 0;
        }
    }
    EXPECT_EQ(0, late) << "writes of a transfer in a later attempt or after Abort";
    EXPECT_EQ(std::make_tuple(0, 0, 0), std::make_tuple(both, neither, unreported)) << "image to both, to neither, attempt unreported";
    stops.ExpectBothWon();
    selections.ExpectBothWon();
}

TEST_F(Upload, RebootSetUpOnTheReaderThreadIsNeverCutByTheTick)
{
    strcpy(upload.loadCommand, "\r\rq 0xbfbf9000\r");
    int cut = 0;
    Balance tick(99);
    Race race{ "the reboot's set-up against the tick", "tick", "set-up" };
    {
        Racer reader([] { StartRebootCommand(); });
        for (int r = 0; race.More(); r++) {
            StartCommandSequence();
            Tick(mainWin, r % 12);
            portWritten.clear();
            reader.Go();
            tick.Wait();
            while (reader.done.load() != reader.go.load())
                UploadTimerTick(mainWin);
            Tick(mainWin, 8);
            // at most one character claimed before the set-up, then the whole command
            std::string typed(portWritten.begin(), portWritten.end());
            size_t at = typed.rfind("\r\rboot\r");
            cut += at == std::string::npos || at + 7 != typed.size() || upload.senderState != SENDER_IDLE;
            race.Won(at != std::string::npos && at > 0);
            tick.Came(at != std::string::npos && at > 0);
        }
    }
    EXPECT_EQ(0, cut);
    race.ExpectBothWon();
}

}  // namespace
