// The receive side of the exchange with the box: every received byte passes
// the banner matcher, the four prompt matchers and the upload state machine,
// in that order. Runs on the reader thread; it writes its answers to the port
// a byte a WritePort call, each block with its checksum in one call, and
// reaches the user-interface thread only by posting WM_COMMAND. The tick may drop a transfer at any moment, so the engine moves
// uploadState by compare-and-swap and stops when the tick got there first.
#include "upload/upload.h"
#include "upload/banner.h"
#include "app/app.h"
#include "app/ids.h"
#include "serial/serial.h"

static const char *const PROMPT_TEXTS[4] = { "[TAVIR]", "<mon>", "HanSh>", "sh>" };
static const uint8_t HANDSHAKE[4] = { 0xAA, 0x55, 0x11, 0x22 };
static const char BANNER[] = BOOT_BANNER;
static_assert(sizeof BANNER - 1 == BOOT_BANNER_LENGTH, "the boot banner is 53 characters");

#define BYTE_ACK      0xFA
#define BYTE_REPLY    0xAA
#define BYTE_REJECT1  0xF0
#define BYTE_REJECT2  0xFE

static void writeByte(HWND window, uint8_t value)
{
    WritePort(window, &value, 1);
}

static void writeWord(HWND window, uint32_t value)
{
    uint8_t bytes[4] = { uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value) };
    for (uint8_t b : bytes)
        writeByte(window, b);
}

static int moveState(int from, int to)
{
    int32_t expected = from;
    return upload.uploadState.compare_exchange_strong(expected, to);
}

static void postCommand(HWND target, WPARAM id, LPARAM value)
{
    if (target)
        PostMessageA(target, WM_COMMAND, id, value);
}

static void matchBanner(HWND window, uint8_t b)
{
    int pos = upload.bannerPos;
    if (b != uint8_t(BANNER[pos])) {
        upload.bannerPos = 0;
        return;
    }
    if (++pos < BOOT_BANNER_LENGTH) {
        upload.bannerPos = pos;
        return;
    }
    upload.bannerPos = 0;
    if (upload.bannerAnswered == 0) {
        upload.bannerAnswered = 1;
        writeByte(window, 's');
    }
}

// Each matcher finds its prompt's characters in order with anything between.
static void matchPrompts(HWND window, uint8_t b)
{
    for (int i = 0; i < 4; i++) {
        if (upload.promptWatch == 0) {
            upload.promptPos[i] = 0;
            continue;
        }
        const char *text = PROMPT_TEXTS[i];
        int pos = upload.promptPos[i];
        if (b != uint8_t(text[pos]))
            continue;
        if (text[++pos] != '\0') {
            upload.promptPos[i] = pos;
            continue;
        }
        upload.promptWatch = 0;
        upload.promptPos[i] = 0;
        postCommand(window, CMD_MONITOR_FOUND, 0);
    }
}

// Reads the next block of the image; 0 when it cannot be had whole.
static int readBlock(int *length)
{
    int remaining = upload.transferSize - upload.bytesSent;
    int wanted = remaining < BLOCK_SIZE ? remaining : BLOCK_SIZE;
    if (wanted <= 0 || !upload.imageFile)
        return 0;
    if (fread(upload.blockBuffer, 1, wanted, upload.imageFile) != size_t(wanted))
        return 0;
    *length = wanted;
    return 1;
}

// A transfer that cannot go on ends as a failure, never as a completion.
static void abandonTransfer(HWND window)
{
    upload.handshakePos = 0;
    upload.uploadState = UPLOAD_IDLE;
    postCommand(upload.progressDialog, IDCANCEL, 0);
    postCommand(window, CMD_FAIL_RETRY, 0);
}

// A rejected block ends this transfer; the box may begin a new one with a new
// handshake. Its page is closed so no stale page is left behind, and the box
// gets as long to begin again as it had at the start: if it does not, the
// tick reports the failure instead of leaving the user with a frozen page.
static void rejectTransfer(void)
{
    upload.handshakePos = 0;
    upload.uploadState = UPLOAD_IDLE;
    postCommand(upload.progressDialog, IDCANCEL, 0);
    upload.startWatch = TICKS_START;
}

static void sendImageBlock(HWND window, int length)
{
    SendBlock(window, length);
    upload.bytesSent += length;
}

// The go-ahead: measure the image, announce its length, send the first block.
// Returns 0 when the rest of the chunk is to be dropped.
static int startTransfer(HWND window)
{
    // 1. the box asks for data while no image is open: choose one here
    if (!upload.imageFile && ChooseFirmwareImage(window, 0) != 0) {
        upload.handshakePos = 0;
        upload.uploadState = UPLOAD_IDLE;
        return 0;
    }

    // 2. measure
    long long size = -1;
    if (_fseeki64(upload.imageFile, 0, SEEK_END) == 0)
        size = _ftelli64(upload.imageFile);
    fseek(upload.imageFile, 0, SEEK_SET);
    if (size <= 0 || size > MAX_IMAGE_BYTES) {
        abandonTransfer(window);
        return 1;
    }
    upload.transferSize = int32_t(size);
    upload.bytesSent = 0;
    upload.blocksAcked = 0;
    upload.blockTotal = int32_t((size + BLOCK_SIZE - 1) / BLOCK_SIZE);

    // 3. the first block is read before anything is announced, so that an
    //    unreadable image shows no progress page and sends no length
    int length = 0;
    if (!readBlock(&length)) {
        abandonTransfer(window);
        return 1;
    }

    // 4. progress page, length, first block
    postCommand(window, CMD_SHOW_PROGRESS, upload.blockTotal);
    writeWord(window, uint32_t(upload.transferSize));
    sendImageBlock(window, length);
    upload.ackWatch1 = TICKS_ACK;
    upload.startWatch = 0;
    upload.uploadState = UPLOAD_WAIT_ACK1;
    return 1;
}

static int endTransfer(HWND window)
{
    if (!moveState(UPLOAD_WAIT_ACK2, UPLOAD_IDLE))
        return 0;   // the block watchdog ran out at this moment and has reported the failure
    upload.handshakePos = 0;
    Sleep(1000);
    CloseFirmwareImage();
    HINSTANCE instance = (HINSTANCE)GetWindowLongPtrA(window, GWLP_HINSTANCE);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(DLG_COMPLETED), window, CompletedDlgProc, 0);
    return 0;
}

// The second acknowledgement: report, then the next block or the end.
static int sendNextBlock(HWND window)
{
    int acked = ++upload.blocksAcked;
    postCommand(upload.progressDialog, IDC_PERCENT, acked);

    if (upload.bytesSent == upload.transferSize)
        return endTransfer(window);

    int length = 0;
    if (!readBlock(&length)) {
        abandonTransfer(window);
        return 1;
    }
    sendImageBlock(window, length);
    upload.ackWatch2 = 0;
    upload.ackWatch1 = TICKS_ACK;
    moveState(UPLOAD_WAIT_ACK2, UPLOAD_WAIT_ACK1);
    return 1;
}

static void matchHandshake(HWND window, uint8_t b)
{
    int pos = upload.handshakePos;
    if (b != HANDSHAKE[pos]) {
        upload.handshakePos = 0;
        return;
    }
    if (++pos < 4) {
        upload.handshakePos = pos;
        return;
    }
    writeByte(window, BYTE_ACK);
    writeByte(window, BYTE_REPLY);
    upload.handshakePos = 0;
    upload.uploadState = UPLOAD_STARTING;
}

static int isReject(uint8_t b)
{
    return b == BYTE_REJECT1 || b == BYTE_REJECT2;
}

// One byte through the upload state machine; 0 drops the rest of the chunk.
static int stepUpload(HWND window, uint8_t b)
{
    switch (upload.uploadState) {
    case UPLOAD_IDLE:
        matchHandshake(window, b);
        return 1;
    case UPLOAD_STARTING:
        if (b == BYTE_ACK)
            return startTransfer(window);
        upload.handshakePos = 0;
        upload.uploadState = UPLOAD_IDLE;
        return 1;
    case UPLOAD_WAIT_ACK1:
        if (b == BYTE_ACK) {
            upload.ackWatch1 = 0;
            upload.ackWatch2 = TICKS_ACK;
            moveState(UPLOAD_WAIT_ACK1, UPLOAD_WAIT_ACK2);
        } else if (isReject(b)) {
            rejectTransfer();
        }
        return 1;
    case UPLOAD_WAIT_ACK2:
        if (b == BYTE_ACK)
            return sendNextBlock(window);
        if (isReject(b))
            rejectTransfer();
        return 1;
    }
    return 1;
}

int ProcessReceived(HWND window, const uint8_t *bytes, DWORD count)
{
    for (DWORD i = 0; i < count; i++) {
        uint8_t b = bytes[i];
        matchBanner(window, b);
        matchPrompts(window, b);
        if (!stepUpload(window, b))
            return 1;
    }
    return 1;
}

// Writes the first n bytes of blockBuffer and then their 32-bit sum, most
// significant byte first. The bytes go out in one write: a write call costs
// about as long as a byte takes on the line at 115200 baud, so a call for
// each byte cannot keep the line busy. The box sees the same bytes either way.
void SendBlock(HWND window, int n)
{
    uint8_t out[BLOCK_SIZE + 4];
    if (n < 0 || n > BLOCK_SIZE)
        return;
    uint32_t sum = 0;
    for (int i = 0; i < n; i++) {
        out[i] = upload.blockBuffer[i];
        sum += upload.blockBuffer[i];
    }
    for (int shift = 24, at = n; shift >= 0; shift -= 8, at++)
        out[at] = uint8_t(sum >> shift);
    WritePort(window, out, DWORD(n + 4));
}
