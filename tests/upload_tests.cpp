// The upload engine driven byte by byte as a boot monitor would drive it:
// every byte written and every command posted is checked.
#include "tests/upload_harness.h"
#include "upload/banner.h"
#include "app/ids.h"
#include "app/app.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

const Bytes HANDSHAKE = { 0xAA, 0x55, 0x11, 0x22 };
const Bytes ACK = { 0xFA };
const Bytes ACKS = { 0xFA, 0xFA };

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Word(uint32_t v)
{
    return { uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v) };
}

// What the PC must send for one block of the image.
Bytes ExpectedBlock(const Bytes &image, size_t at, size_t n)
{
    Bytes block(image.begin() + at, image.begin() + at + n);
    return Concat({ block, Word(Checksum(block.data(), n)) });
}

class Upload : public ::testing::Test {
protected:
    HWND mainWin = nullptr;
    HWND progressWin = nullptr;

    void SetUp() override
    {
        mainWin = MakeMessageWindow();
        progressWin = MakeMessageWindow();
        ASSERT_TRUE(mainWin && progressWin);
        ResetUpload();
    }
    void TearDown() override
    {
        ResetUpload();
        DestroyWindow(mainWin);
        DestroyWindow(progressWin);
    }

    // Opens an image as the file dialog would leave it chosen.
    int Choose(const std::string &path)
    {
        strncpy(imagePath, path.c_str(), sizeof imagePath - 1);
        return OpenFirmwareImage(mainWin);
    }

    Bytes TakeWritten()
    {
        Bytes out = portWritten;
        portWritten.clear();
        return out;
    }

    // A transfer of a three-block image waiting for the first or the second
    // acknowledgement of block 1, its watchdog one tick from running out.
    void ToAck(int second)
    {
        ASSERT_EQ(0, Choose(WriteImage("race.bin", ValidImage(3000, 0), &image)));
        upload.progressDialog = progressWin;
        Feed(mainWin, Concat({ HANDSHAKE, ACK }));
        if (second)
            Feed(mainWin, ACK);
        (second ? upload.ackWatch2 : upload.ackWatch1) = 1;
        TakeWritten();
        TakePosted();
    }
    Bytes image;
};

int Count(const std::vector<Posted> &posted, WPARAM id)
{
    int n = 0;
    for (const Posted &p : posted)
        n += p.id == id;
    return n;
}

// ---------------------------------------------------------------- exchange

TEST_F(Upload, WholeExchangeSendsEveryByteAndReportsEveryBlock)
{
    Bytes image;
    ASSERT_EQ(0, Choose(WriteImage("three.bin", ValidImage(2 * 1024 + 300, 0), &image)));

    // banner while the wizard waits for it, then a prompt within the watch
    upload.bannerAnswered = 0;
    upload.promptWatch = TICKS_PROMPT;
    Feed(mainWin, ToBytes("\r\n" BOOT_BANNER "\r\n"), 7);
    EXPECT_EQ(ToBytes("s"), TakeWritten());
    Feed(mainWin, ToBytes("\r\nHanSh> "));
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(1u, posted.size());
    EXPECT_EQ(WPARAM(CMD_MONITOR_FOUND), posted[0].id);
    EXPECT_EQ(0, upload.promptWatch);

    // the typed commands, one character a tick
    StartCommandSequence();
    Tick(mainWin, 10);
    EXPECT_EQ(ToBytes("\r\rmon\r\r\rq\r"), TakeWritten());

    // handshake and go-ahead
    upload.progressDialog = progressWin;
    Feed(mainWin, HANDSHAKE, 1);
    EXPECT_EQ(Bytes({ 0xFA, 0xAA }), TakeWritten());
    EXPECT_EQ(UPLOAD_STARTING, upload.uploadState);
    Feed(mainWin, ACK);
    EXPECT_EQ(Concat({ Word(2 * 1024 + 300), ExpectedBlock(image, 0, 1024) }), TakeWritten());
    posted = TakePosted();
    ASSERT_EQ(1u, posted.size());
    EXPECT_EQ(mainWin, posted[0].window);
    EXPECT_EQ(WPARAM(CMD_SHOW_PROGRESS), posted[0].id);
    EXPECT_EQ(3, posted[0].value);
    EXPECT_EQ(0, upload.startWatch);
    EXPECT_EQ(TICKS_ACK, upload.ackWatch1);

    // the first acknowledgement only moves on, the second sends the next block
    Feed(mainWin, ACK);
    EXPECT_TRUE(TakeWritten().empty());
    EXPECT_EQ(UPLOAD_WAIT_ACK2, upload.uploadState);
    EXPECT_EQ(0, upload.ackWatch1);
    EXPECT_EQ(TICKS_ACK, upload.ackWatch2);
    Feed(mainWin, ACK);
    EXPECT_EQ(ExpectedBlock(image, 1024, 1024), TakeWritten());
    Feed(mainWin, ACKS);
    EXPECT_EQ(ExpectedBlock(image, 2048, 300), TakeWritten());

    // the last double acknowledgement completes; the rest of its chunk is dropped
    Feed(mainWin, Concat({ ACKS, HANDSHAKE }));
    EXPECT_TRUE(TakeWritten().empty());
    EXPECT_EQ(UPLOAD_IDLE, upload.uploadState);
    EXPECT_EQ(nullptr, upload.imageFile);
    posted = TakePosted();
    ASSERT_EQ(3u, posted.size());
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(progressWin, posted[i].window);
        EXPECT_EQ(WPARAM(IDC_PERCENT), posted[i].id);
        EXPECT_EQ(i + 1, posted[i].value);
    }
}

TEST_F(Upload, BlockEdgesGiveTheRightBlockCountsAndChecksums)
{
    struct { uint32_t size; int blocks; uint32_t lastBlock; } rows[] = {
        { 2048, 2, 1024 }, { 1025, 2, 1 }, { 1024, 1, 1024 }, { 128, 1, 128 },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.size);
        ResetUpload();
        Bytes image;
        ASSERT_EQ(0, Choose(WriteImage("edge.bin", ValidImage(row.size, 0), &image)));
        Feed(mainWin, Concat({ HANDSHAKE, ACK }));
        EXPECT_EQ(row.blocks, upload.blockTotal);
        Bytes sent = TakeWritten();
        for (int block = 1; block < row.blocks; block++) {
            Feed(mainWin, ACKS);
            Bytes more = TakeWritten();
            sent.insert(sent.end(), more.begin(), more.end());
        }
        size_t lastAt = size_t(row.blocks - 1) * 1024;
        Bytes tail(sent.end() - (row.lastBlock + 4), sent.end());
        EXPECT_EQ(ExpectedBlock(image, lastAt, row.lastBlock), tail);
        EXPECT_EQ(2u + 4u + row.size + 4u * row.blocks, sent.size());
        Feed(mainWin, ACKS);
        EXPECT_EQ(nullptr, upload.imageFile) << "completed";
    }
}

TEST_F(Upload, ChecksumOfKnownBlockIsSentBigEndian)
{
    upload.blockBuffer[0] = 0x61;
    upload.blockBuffer[1] = 0x62;
    upload.blockBuffer[2] = 0x63;
    SendBlock(mainWin, 3);
    EXPECT_EQ(Bytes({ 0x61, 0x62, 0x63, 0x00, 0x00, 0x01, 0x26 }), TakeWritten());
    memset(upload.blockBuffer, 0xFF, BLOCK_SIZE);
    SendBlock(mainWin, BLOCK_SIZE);
    Bytes sent = TakeWritten();
    EXPECT_EQ(Word(1024 * 255), Bytes(sent.end() - 4, sent.end()));
}

TEST_F(Upload, RejectAbandonsAndNewHandshakeRestartsFromFirstByte)
{
    Bytes image;
    ASSERT_EQ(0, Choose(WriteImage("reject.bin", ValidImage(3000, 0), &image)));
    upload.progressDialog = progressWin;
    const uint8_t rejects[] = { 0xF0, 0xFE };
    for (uint8_t reject : rejects) {
        for (int inSecond = 0; inSecond < 2; inSecond++) {
            SCOPED_TRACE(int(reject) * 10 + inSecond);
            Feed(mainWin, Concat({ HANDSHAKE, ACK }));
            EXPECT_EQ(Concat({ Bytes({ 0xFA, 0xAA }), Word(3000), ExpectedBlock(image, 0, 1024) }), TakeWritten());
            Feed(mainWin, ACKS);   // block 1 done, block 2 out
            TakeWritten();
            if (inSecond)
                Feed(mainWin, ACK);
            Feed(mainWin, Bytes({ reject }));
            EXPECT_EQ(UPLOAD_IDLE, upload.uploadState);
            EXPECT_TRUE(TakeWritten().empty());
            EXPECT_NE(nullptr, upload.imageFile);
            std::vector<Posted> posted = TakePosted();
            // the go-ahead's progress, block 1's report, and the page told to end
            ASSERT_EQ(3u, posted.size());
            EXPECT_EQ(WPARAM(CMD_SHOW_PROGRESS), posted[0].id);
            EXPECT_EQ(WPARAM(IDC_PERCENT), posted[1].id);
            EXPECT_EQ(progressWin, posted[2].window);
            EXPECT_EQ(WPARAM(IDCANCEL), posted[2].id);
            EXPECT_EQ(TICKS_START, upload.startWatch) << "the box gets time to begin again";
        }
    }
    // A new handshake within that time restarts without a failure report.
    Feed(mainWin, Concat({ HANDSHAKE, ACK }));
    EXPECT_EQ(0, upload.startWatch);
    Tick(mainWin, TICKS_ACK - 1);   // the new block's own watch is not yet out
    for (const Posted &p : TakePosted())
        EXPECT_NE(WPARAM(CMD_FAIL_RETRY), p.id);
}

TEST_F(Upload, OtherBytesBetweenAcknowledgementsChangeNothing)
{
    ASSERT_EQ(0, Choose(WriteImage("stray.bin", ValidImage(1500, 0))));
    Feed(mainWin, Concat({ HANDSHAKE, ACK }));
    TakeWritten();
    Feed(mainWin, Bytes({ 0x00, 0x41, 0x0D, 0xAA, 0x55, 0x11, 0x22 }));
    EXPECT_EQ(UPLOAD_WAIT_ACK1, upload.uploadState);
    Feed(mainWin, Bytes({ 0xFA, 0x13, 0x11, 0xFA }));
    EXPECT_EQ(UPLOAD_WAIT_ACK1, upload.uploadState);
    EXPECT_EQ(476u + 4u, TakeWritten().size());
}


// ---------------------------------------------------------------- matchers

TEST_F(Upload, BannerIsAnsweredOnceAndOnlyWhenAsked)
{
    Bytes banner = ToBytes(BOOT_BANNER);
    Feed(mainWin, banner);
    EXPECT_TRUE(TakeWritten().empty()) << "not asked for yet";

    upload.bannerAnswered = 0;
    Feed(mainWin, Concat({ ToBytes(" "), banner }));
    EXPECT_TRUE(TakeWritten().empty()) << "a blank before the banner hides it";
    Feed(mainWin, banner, 1);
    EXPECT_EQ(ToBytes("s"), TakeWritten());
    Feed(mainWin, banner);
    EXPECT_TRUE(TakeWritten().empty()) << "answered once";
    upload.bannerAnswered = 0;
    Feed(mainWin, Concat({ ToBytes("x"), banner }));
    EXPECT_EQ(ToBytes("s"), TakeWritten());
}

// A handshake counts only whole and in order, and only the go-ahead right
// after it starts a transfer; a handshake while starting is not seen itself.
TEST_F(Upload, HandshakeIsExactAndDroppedByAnythingButTheGoAhead)
{
    ASSERT_EQ(0, Choose(WriteImage("drop.bin", ValidImage(1500, 0))));
    struct { const char *name; Bytes in; Bytes out; int state; } rows[] = {
        { "first byte not retried", Bytes({ 0xAA, 0xAA, 0x55, 0x11, 0x22 }), Bytes(), UPLOAD_IDLE },
        { "handshake", HANDSHAKE, Bytes({ 0xFA, 0xAA }), UPLOAD_STARTING },
        { "a second handshake drops it", Concat({ HANDSHAKE, ACK }), Bytes(), UPLOAD_IDLE },
        { "then a go-ahead", Concat({ HANDSHAKE, ACK }), Bytes({ 0xFA, 0xAA }), UPLOAD_WAIT_ACK1 },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        Feed(mainWin, row.in);
        Bytes out = TakeWritten();
        EXPECT_EQ(row.out, Bytes(out.begin(), out.begin() + std::min(out.size(), size_t(2))));
        EXPECT_EQ(row.state, upload.uploadState);
    }
}

TEST_F(Upload, PromptsAreFoundInOrderWithAnythingBetweenWhileWatching)
{
    struct { const char *text; int posts; } rows[] = {
        { "shell>", 1 }, { "[TAVIR]", 1 }, { "<mon>", 1 }, { "HanSh>", 1 },
        { "s-h-x>", 1 }, { "hs>", 0 }, { "sh", 0 }, { "sh<mon>", 1 },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.text);
        ResetUpload();
        upload.promptWatch = TICKS_PROMPT;
        Feed(mainWin, ToBytes(row.text), 1);
        int found = 0;
        for (const Posted &p : TakePosted())
            found += p.id == CMD_MONITOR_FOUND;
        EXPECT_EQ(row.posts, found);
    }
    ResetUpload();
    Feed(mainWin, ToBytes("HanSh> "));
    EXPECT_TRUE(TakePosted().empty()) << "no watch, no find";
}

// ---------------------------------------------------------------- image check

struct HeaderRow {
    const char *name;
    uint32_t headerAddress;
    uint32_t word9;
    uint32_t word10;
    int passes;
};

TEST_F(Upload, HeaderCheckBoundaries)
{
    const HeaderRow rows[] = {
        { "lowest base", 0xBFC00000u + 128, 0x100000, 0xBFC00000u, 1 },
        { "highest base", 0xBFE00000u + 128, 0x100000, 0xBFE00000u, 1 },
        { "base just below", 0xBFBFFFFFu + 128, 0x100000, 0xBFC00000u, 0 },
        { "base just above", 0xBFE00001u + 128, 0x100000, 0xBFC00000u, 0 },
        { "entry just below", 0xBFC00080u, 0x100000, 0xBFBFFFFFu, 0 },
        { "entry just above", 0xBFC00080u, 0x100000, 0xBFE00001u, 0 },
        { "forced bits", 0x1FC00080u, 0x100000, 0x1FC00000u, 1 },
        { "address wraps below zero", 0x00000005u, 0x100000, 0xBFC00000u, 0 },
        { "largest size", 0xBFC00080u, 0x200000, 0xBFC00000u, 1 },
        { "size too large", 0xBFC00080u, 0x200001, 0xBFC00000u, 0 },
        { "size with bit 31", 0xBFC00080u, 0x80000000u, 0xBFC00000u, 0 },
    };
    for (const HeaderRow &row : rows) {
        for (long offset : { 0L, long(ALT_HEADER_OFFSET) }) {
            SCOPED_TRACE(std::string(row.name) + (offset ? " at 0x8000" : " at 0"));
            ImageSpec spec = { 0x9000, offset, row.headerAddress, row.word9, row.word10 };
            EXPECT_EQ(row.passes ? 0 : 1, Choose(WriteImage("bounds.bin", spec)));
            EXPECT_EQ(row.passes != 0, upload.imageFile != nullptr) << "a failed file is closed";
            CloseFirmwareImage();
        }
    }
}

TEST_F(Upload, BothLayoutsGiveTheirLoadCommands)
{
    struct { long offset; uint32_t base; const char *command; } rows[] = {
        { 0, 0xBFC00000u, "\r\rq\r" },
        { ALT_HEADER_OFFSET, 0xBFC00000u, "\r\rq 0xbfbf8000\r" },
        { ALT_HEADER_OFFSET, 0xBFE00000u, "\r\rq 0xbfdf8000\r" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.command);
        ImageSpec spec = { 0x10000, row.offset, row.base + 128, 0x100000, 0xBFC00000u };
        ASSERT_EQ(0, Choose(WriteImage("layout.bin", spec)));
        EXPECT_STREQ(row.command, upload.loadCommand);
        EXPECT_EQ(0x10000, upload.imageFileSize);
        EXPECT_EQ(0, ftell(upload.imageFile)) << "left at the start for the transfer";
    }
    // a header at 0 wins over one at 0x8000
    Bytes image;
    WriteImage("both.bin", ValidImage(0x10000, ALT_HEADER_OFFSET), &image);
    ImageSpec first = ValidImage(0x10000, 0);
    std::string path = WriteImage("both.bin", first);
    FILE *file = fopen(path.c_str(), "r+b");
    fseek(file, ALT_HEADER_OFFSET, SEEK_SET);
    fwrite(image.data() + ALT_HEADER_OFFSET, 1, HEADER_SIZE, file);
    fclose(file);
    ASSERT_EQ(0, Choose(path));
    EXPECT_STREQ("\r\rq\r", upload.loadCommand);
}

TEST_F(Upload, ShortOrMissingHeaderFails)
{
    // a valid header fills the buffer; a shorter file must not borrow from it
    ASSERT_EQ(0, Choose(WriteImage("full.bin", ValidImage(4096, 0))));
    Bytes valid;
    WriteImage("full.bin", ValidImage(4096, 0), &valid);
    std::string path = TempPath("short.bin");
    FILE *file = fopen(path.c_str(), "wb");
    fwrite(valid.data(), 1, 36, file);
    fclose(file);
    EXPECT_EQ(1, Choose(path));
    EXPECT_EQ(nullptr, upload.imageFile);

    EXPECT_EQ(1, Choose(WriteImage("prefix-short.bin", { ALT_HEADER_OFFSET + 50, ALT_HEADER_OFFSET, 0xBFC00080u, 0, 0xBFC00000u })));
    EXPECT_EQ(1, Choose(WriteImage("empty.bin", { 0, -1, 0, 0, 0 })));
    EXPECT_EQ(1, Choose(WriteImage("foreign.bin", { 0x20000, -1, 0, 0, 0 })));
}

TEST_F(Upload, ImageTooLargeForTheLengthIsRefused)
{
    std::string path = WriteImage("huge.bin", ValidImage(4096, 0));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER end;
    end.QuadPart = 0x80000000LL;   // one byte past the signed 32-bit length
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    EXPECT_EQ(1, Choose(path));
    EXPECT_EQ(nullptr, upload.imageFile);
    DeleteFileA(path.c_str());
}

// ---------------------------------------------------------------- short image

TEST_F(Upload, ImageThatShrinksDuringTransferFailsInsteadOfCompleting)
{
    // Larger than the stream's buffer, so the shortened file is really read.
    Bytes image;
    std::string path = WriteImage("shrink.bin", ValidImage(20000, 0), &image);
    ASSERT_EQ(0, Choose(path));
    upload.progressDialog = progressWin;
    Feed(mainWin, Concat({ HANDSHAKE, ACK }));
    TakeWritten();
    TakePosted();

    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER end;
    end.QuadPart = 5000;
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);

    Bytes sent;
    int acked = 0;
    while (upload.uploadState != UPLOAD_IDLE && acked < 20) {
        Feed(mainWin, ACKS);
        acked++;
        Bytes more = TakeWritten();
        sent.insert(sent.end(), more.begin(), more.end());
    }
    EXPECT_EQ(UPLOAD_IDLE, upload.uploadState);
    EXPECT_NE(nullptr, upload.imageFile) << "no completion";
    // only whole blocks of what the file still held went out
    ASSERT_EQ(size_t(acked - 1) * 1028, sent.size());
    for (int block = 1; block < acked; block++)
        EXPECT_LE(size_t(block + 1) * 1024, 5000u);
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(size_t(acked) + 2, posted.size());
    EXPECT_EQ(WPARAM(IDC_PERCENT), posted[acked - 1].id);
    EXPECT_EQ(progressWin, posted[acked].window);
    EXPECT_EQ(WPARAM(IDCANCEL), posted[acked].id);
    EXPECT_EQ(mainWin, posted[acked + 1].window);
    EXPECT_EQ(WPARAM(CMD_FAIL_RETRY), posted[acked + 1].id);
}

// ---------------------------------------------------------------- tick

TEST_F(Upload, SenderTypesOneCharacterATick)
{
    struct { long offset; int ticks; const char *typed; } rows[] = {
        { 0, 10, "\r\rmon\r\r\rq\r" },
        { ALT_HEADER_OFFSET, 21, "\r\rmon\r\r\rq 0xbfbf9000\r" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.ticks);
        ResetUpload();
        ASSERT_EQ(0, Choose(WriteImage("pace.bin", ValidImage(0x9000, row.offset))));
        StartCommandSequence();
        EXPECT_EQ(TICKS_START, upload.startWatch);
        Tick(mainWin, 1);
        EXPECT_EQ(ToBytes("\r"), portWritten) << "first character at the first tick";
        Tick(mainWin, 5);
        EXPECT_EQ(ToBytes("\r\rmon\r"), portWritten);
        EXPECT_EQ(SENDER_ONCE, upload.senderState) << "switched to the load command in the same tick";
        Tick(mainWin, row.ticks - 7);
        EXPECT_EQ(SENDER_ONCE, upload.senderState);
        Tick(mainWin, 1);
        EXPECT_EQ(SENDER_IDLE, upload.senderState);
        Tick(mainWin, 3);
        EXPECT_EQ(ToBytes(row.typed), portWritten);
    }
}

// A set-up replaces a running text at once; a failed write's "s" stops it
// without reading past its end; a new attempt stops it for good.
TEST_F(Upload, ANewTextOrANewAttemptStopsTheRunningOne)
{
    static const char guard[] = "s\0XXXXXXXX";
    struct { const char *name; int what; const char *typed; } rows[] = {
        { "reboot set-up mid-text", 0, "\r\rm\r\rboot\r" },
        { "line error", 1, "\r\rm" },
        { "new attempt", 2, "\r\rm" },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        strcpy(upload.loadCommand, "\r\rq\r");
        StartCommandSequence();
        Tick(mainWin, 3);
        if (row.what == 0)
            StartRebootCommand();
        else if (row.what == 1)
            ReplaceSenderText(guard);
        else
            StopUploadAttempt();
        Tick(mainWin, 60);
        EXPECT_EQ(ToBytes(row.typed), portWritten);
        EXPECT_EQ(SENDER_IDLE, upload.senderState);
        EXPECT_EQ(row.what == 2 ? 0 : 1, Count(TakePosted(), CMD_FAIL_RETRY))
            << "the sequence's own start watchdog reports, but not after a new attempt";
    }
}

TEST_F(Upload, BlockWatchdogsFireOnTheirCountInTheirStateOnly)
{
    struct { int state; SharedWord *watch; SharedWord *other; bool page; } rows[] = {
        { UPLOAD_WAIT_ACK1, &upload.ackWatch1, &upload.ackWatch2, true },
        { UPLOAD_WAIT_ACK2, &upload.ackWatch2, &upload.ackWatch1, true },
        { UPLOAD_WAIT_ACK2, &upload.ackWatch2, &upload.ackWatch1, false },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.state * 10 + row.page);
        ResetUpload();
        upload.progressDialog = row.page ? progressWin : nullptr;
        upload.uploadState = row.state;
        *row.watch = TICKS_ACK;
        *row.other = TICKS_ACK;
        Tick(mainWin, TICKS_ACK - 1);
        EXPECT_TRUE(TakePosted().empty());
        EXPECT_EQ(TICKS_ACK, *row.other) << "the other state's watch is not counted";
        Tick(mainWin, 1);
        std::vector<Posted> posted = TakePosted();
        ASSERT_EQ(row.page ? 2u : 1u, posted.size());
        if (row.page) {
            EXPECT_EQ(progressWin, posted[0].window);
            EXPECT_EQ(WPARAM(IDCANCEL), posted[0].id);
        }
        EXPECT_EQ(WPARAM(CMD_FAIL_RETRY), posted.back().id);
        EXPECT_EQ(UPLOAD_IDLE, upload.uploadState);
        EXPECT_EQ(0, *row.other) << "the ended transfer leaves no watch armed";
        Tick(mainWin, 30);
        EXPECT_TRUE(TakePosted().empty()) << "a run-out watch stays quiet";
    }
    ResetUpload();
    upload.ackWatch1 = 3;
    upload.ackWatch2 = 3;
    Tick(mainWin, 10);   // idle: block watches are not counted
    EXPECT_EQ(3, upload.ackWatch1);
    EXPECT_EQ(3, upload.ackWatch2);
}

TEST_F(Upload, PromptAndStartWatchesFireOnTheirCounts)
{
    struct { SharedWord *watch; int count; WPARAM command; } rows[] = {
        { &upload.promptWatch, TICKS_PROMPT, CMD_NO_RESPONSE },
        { &upload.promptWatch, TICKS_SEND_CR, CMD_NO_RESPONSE },
        { &upload.startWatch, TICKS_START, CMD_FAIL_RETRY },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.count);
        ResetUpload();
        upload.uploadState = UPLOAD_STARTING;
        *row.watch = row.count;
        Tick(mainWin, row.count - 1);
        EXPECT_TRUE(TakePosted().empty());
        Tick(mainWin, 1);
        std::vector<Posted> posted = TakePosted();
        ASSERT_EQ(1u, posted.size());
        EXPECT_EQ(row.command, posted[0].id);
        EXPECT_EQ(UPLOAD_STARTING, upload.uploadState) << "state untouched";
        Tick(mainWin, 50);
        EXPECT_TRUE(TakePosted().empty());
    }
}

TEST_F(Upload, WatchesRunningOutTogetherPostInOrder)
{
    upload.progressDialog = progressWin;
    upload.uploadState = UPLOAD_WAIT_ACK1;
    upload.ackWatch1 = 1;
    upload.promptWatch = 1;
    upload.startWatch = 1;
    Tick(mainWin, 1);
    std::vector<Posted> posted = TakePosted();
    ASSERT_EQ(4u, posted.size());
    EXPECT_EQ(WPARAM(IDCANCEL), posted[0].id);
    EXPECT_EQ(WPARAM(CMD_FAIL_RETRY), posted[1].id);
    EXPECT_EQ(WPARAM(CMD_NO_RESPONSE), posted[2].id);
    EXPECT_EQ(WPARAM(CMD_FAIL_RETRY), posted[3].id);
}

// ---------------------------------------------------------------- interleavings
// The engine and the tick driven by hand, on the one tick where both may
// decide, in both orders: exactly one outcome is reported, and nothing is
// sent for a transfer that has already failed.

TEST_F(Upload, AcknowledgementOrRejectOnTheTickItsWatchdogRunsOut)
{
    // later: the one failure still to come when the box stays silent (the
    // next acknowledgement's watchdog, or the start time a reject gives back)
    struct { const char *name; int second; uint8_t byte; int tickFirst; size_t sent; int failures; int later; } rows[] = {
        { "first ack, then tick", 0, 0xFA, 0, 0, 0, 1 },
        { "tick, then first ack", 0, 0xFA, 1, 0, 1, 0 },
        { "second ack, then tick", 1, 0xFA, 0, 1028, 0, 1 },
        { "tick, then second ack", 1, 0xFA, 1, 0, 1, 0 },
        { "reject, then tick", 1, 0xF0, 0, 0, 0, 1 },
        { "tick, then reject", 1, 0xF0, 1, 0, 1, 0 },
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        ResetUpload();
        ASSERT_NO_FATAL_FAILURE(ToAck(row.second));
        if (row.tickFirst)
            Tick(mainWin, 1);
        Feed(mainWin, Bytes({ row.byte }));
        if (!row.tickFirst)
            Tick(mainWin, 1);
        Bytes sent = TakeWritten();
        EXPECT_EQ(row.sent, sent.size());
        if (row.sent) {
            EXPECT_EQ(ExpectedBlock(image, 1024, 1024), sent);
        }
        std::vector<Posted> posted = TakePosted();
        EXPECT_EQ(row.failures, Count(posted, CMD_FAIL_RETRY));
        EXPECT_EQ(row.failures || row.byte == 0xF0 ? 1 : 0, Count(posted, IDCANCEL)) << "the page closes once";
        Tick(mainWin, 2 * TICKS_START);
        EXPECT_EQ(row.later, Count(TakePosted(), CMD_FAIL_RETRY));
        EXPECT_TRUE(TakeWritten().empty());
    }
}

TEST_F(Upload, PromptOnTheTickItsWatchRunsOutPostsOneOutcome)
{
    for (int tickFirst = 0; tickFirst < 2; tickFirst++) {
        SCOPED_TRACE(tickFirst);
        ResetUpload();
        upload.promptWatch = 1;
        Feed(mainWin, ToBytes("HanSh"));
        if (tickFirst)
            Tick(mainWin, 1);
        Feed(mainWin, ToBytes(">"));
        if (!tickFirst)
            Tick(mainWin, 1);
        std::vector<Posted> posted = TakePosted();
        EXPECT_EQ(tickFirst ? 0 : 1, Count(posted, CMD_MONITOR_FOUND));
        EXPECT_EQ(tickFirst ? 1 : 0, Count(posted, CMD_NO_RESPONSE));
    }
}

// An image emptied after the warning: one failure, no length, no block, and
// the start watchdog does not report the same failure ten seconds later; a
// go-ahead after that watchdog ran out starts nothing either.
TEST_F(Upload, GoAheadThatCannotStartReportsOnceAndSendsNoLength)
{
    for (int expired = 0; expired < 2; expired++) {
        SCOPED_TRACE(expired ? "start watchdog ran out first" : "image emptied");
        ResetUpload();
        std::string path = WriteImage("emptied.bin", ValidImage(3000, 0));
        ASSERT_EQ(0, Choose(path));
        strcpy(upload.loadCommand, "\r\rq\r");
        StartCommandSequence();
        Tick(mainWin, expired ? TICKS_START : 10);
        TakeWritten();
        int failures = Count(TakePosted(), CMD_FAIL_RETRY);
        if (!expired) {
            HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      TRUNCATE_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            CloseHandle(file);
        }
        Feed(mainWin, Concat({ HANDSHAKE, ACK }));
        EXPECT_EQ(Bytes({ 0xFA, 0xAA }), TakeWritten()) << "no length, no block";
        std::vector<Posted> posted = TakePosted();
        EXPECT_EQ(0, Count(posted, CMD_SHOW_PROGRESS));
        Tick(mainWin, 2 * TICKS_START);
        failures += Count(posted, CMD_FAIL_RETRY) + Count(TakePosted(), CMD_FAIL_RETRY);
        EXPECT_EQ(1, failures);
        EXPECT_EQ(UPLOAD_IDLE, upload.uploadState);
    }
}

// Abort, Cancel or a closing port between the handshake and the go-ahead:
// the box gets nothing more.
TEST_F(Upload, NothingReachesTheBoxOnceTheProgramOrThePortIsClosing)
{
    for (int closing = 0; closing < 2; closing++) {
        SCOPED_TRACE(closing ? "port closing" : "close requested");
        ResetUpload();
        ASSERT_EQ(0, Choose(WriteImage("closing.bin", ValidImage(3000, 0))));
        upload.bannerAnswered = 0;
        Feed(mainWin, HANDSHAKE);
        EXPECT_EQ(Bytes({ 0xFA, 0xAA }), TakeWritten());
        if (closing)
            portOpen = 0;
        else
            closeRequested = 1;
        Feed(mainWin, Concat({ ACK, ToBytes(BOOT_BANNER) }));
        EXPECT_TRUE(TakeWritten().empty());
        EXPECT_TRUE(TakePosted().empty());
    }
}

// A selection asked for while a transfer reads the image (a prompt the box
// printed, a Retry) must neither close nor replace the file under it.
TEST_F(Upload, ASelectionWhileATransferReadsTheImageChangesNothing)
{
    ASSERT_EQ(0, Choose(WriteImage("busy.bin", ValidImage(3000, 0), &image)));
    Feed(mainWin, Concat({ HANDSHAKE, ACK }));
    TakeWritten();
    FILE *inUse = upload.imageFile;
    EXPECT_EQ(CHOOSE_BUSY, ChooseFirmwareImage(mainWin, 1)) << "no file dialog while the image is sent";
    EXPECT_EQ(inUse, upload.imageFile);
    EXPECT_EQ(SENDER_IDLE, upload.senderState) << "no typing begins";
    Feed(mainWin, ACKS);
    EXPECT_EQ(ExpectedBlock(image, 1024, 1024), TakeWritten());
}

// A box that asks for data while the prompt watch runs has answered: the
// watch ends, and the prompt it prints after the load finds nothing.
TEST_F(Upload, TransferWithoutAPromptEndsThePromptWatch)
{
    ASSERT_EQ(0, Choose(WriteImage("noprompt.bin", ValidImage(1000, 0))));
    upload.promptWatch = TICKS_PROMPT;
    Feed(mainWin, Concat({ HANDSHAKE, ACK, ACKS }));
    Feed(mainWin, ToBytes("\r\nHanSh> "));
    Tick(mainWin, TICKS_PROMPT);
    std::vector<Posted> posted = TakePosted();
    EXPECT_EQ(0, Count(posted, CMD_MONITOR_FOUND) + Count(posted, CMD_NO_RESPONSE));
}

// ---------------------------------------------------------------- two threads
// The same decisions taken on two real threads at random moments, thousands
// of times: never two reports for one transfer or one prompt, never a block
// after a failure, never a reboot command cut or lost.

struct Racer {
    std::atomic<int> round{ 0 };
    std::atomic<int> done{ 0 };
    uint32_t seed = 12345;
    unsigned Spin()
    {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % 3000;
    }
};

static void spinFor(unsigned n)
{
    for (volatile unsigned i = 0; i < n; i = i + 1) {
    }
}

TEST_F(Upload, EngineAndTickOnTwoThreadsNeverReportTwice)
{
    const int ROUNDS = 3000;
    ASSERT_EQ(0, Choose(WriteImage("threads.bin", ValidImage(3000, 0), &image)));
    upload.progressDialog = progressWin;
    Racer engineSide, tickSide;
    tickSide.seed = 777;
    std::atomic<int> go{ 0 };
    Bytes toFeed;
    HWND window = mainWin;
    std::thread reader([&] {
        for (int r = 1; r <= 2 * ROUNDS; r++) {
            while (go.load() != r) {
            }
            spinFor(engineSide.Spin());
            Feed(window, toFeed);
            engineSide.done = r;
        }
    });
    int raced = 0, bad = 0, engineWins = 0, tickWins = 0;
    auto race = [&](const Bytes &bytes) {
        toFeed = bytes;
        go = ++raced;
        spinFor(tickSide.Spin());
        UploadTimerTick(mainWin);
        while (engineSide.done.load() != raced) {
        }
    };
    for (int r = 0; r < ROUNDS; r++) {
        int kind = r % 3;   // 0: first ack, 1: second ack, 2: reject, each against its watchdog
        StopUploadAttempt();
        ReleaseImage(IMAGE_SENDING);
        Feed(mainWin, Concat({ HANDSHAKE, ACK }));
        if (kind)
            Feed(mainWin, ACK);
        (kind ? upload.ackWatch2 : upload.ackWatch1) = 1;
        TakeWritten();
        TakePosted();
        race(Bytes({ uint8_t(kind == 2 ? 0xF0 : 0xFA) }));
        size_t sent = TakeWritten().size();
        std::vector<Posted> posted = TakePosted();
        int failures = Count(posted, CMD_FAIL_RETRY);
        int engineWon = kind == 0 ? upload.uploadState == UPLOAD_WAIT_ACK2
                      : kind == 1 ? sent == 1028 : upload.startWatch > 0;
        engineWins += engineWon;
        tickWins += failures;
        if (failures + engineWon != 1 || (failures && sent) || upload.ackWatch1 + upload.ackWatch2 > TICKS_ACK)
            bad++;
        // and the prompt against its watch
        upload.promptWatch = 1;
        Feed(mainWin, ToBytes("<mon"));
        race(ToBytes(">"));
        posted = TakePosted();
        if (Count(posted, CMD_MONITOR_FOUND) + Count(posted, CMD_NO_RESPONSE) != 1)
            bad++;
    }
    reader.join();
    EXPECT_EQ(0, bad) << "rounds with two outcomes or none, or a block after a failure";
    EXPECT_GT(engineWins, ROUNDS / 50) << "the engine never won: the race was not run";
    EXPECT_GT(tickWins, ROUNDS / 50) << "the tick never won: the race was not run";
}

TEST_F(Upload, RebootSetUpOnTheReaderThreadIsNeverCutByTheTick)
{
    const int ROUNDS = 2000;
    strcpy(upload.loadCommand, "\r\rq 0xbfbf9000\r");
    Racer setUpSide;
    std::atomic<int> go{ 0 }, setUp{ 0 };
    std::thread reader([&] {
        for (int r = 1; r <= ROUNDS; r++) {
            while (go.load() != r) {
            }
            spinFor(setUpSide.Spin());
            StartRebootCommand();
            setUp = r;
        }
    });
    int cut = 0;
    for (int r = 1; r <= ROUNDS; r++) {
        StartCommandSequence();
        Tick(mainWin, int(r % 12));
        portWritten.clear();
        go = r;
        while (setUp.load() != r)
            UploadTimerTick(mainWin);
        Tick(mainWin, 8);
        // at most one character claimed before the set-up, then the whole command
        std::string typed(portWritten.begin(), portWritten.end());
        size_t at = typed.rfind("\r\rboot\r");
        if (at == std::string::npos || at + 7 != typed.size() || upload.senderState != SENDER_IDLE)
            cut++;
    }
    reader.join();
    EXPECT_EQ(0, cut);
}

}  // namespace
