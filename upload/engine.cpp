// The receive side of the exchange with the box: every received byte passes
// the banner matcher, the four prompt matchers and the upload state machine,
// in that order. Runs on the reader thread; it writes its answers to the port
// a byte a WritePort call, each block with its checksum in one call, posts
// WM_COMMAND to reach the user-interface thread. It opens the completion page
// on the reader thread, and has the user-interface thread run the image
// selection for a box that asked first (WM_CHOOSE_FOR_BOX, app/app.h).
// What it shares with the tick and how: the table in upload/upload.h. Every
// write of the engine follows a move of uploadState that it won, so once a
// report moved the attempt to ENDED nothing of that attempt is written. A
// step that lets go of the lock for a page or a wait goes on only if its
// attempt and state are still the ones it left. While the port is closing
// or the user has asked to end the program, it writes nothing.
#include "upload/upload.h"
#include "app/app.h"
#include "app/ids.h"
#include "serial/serial.h"

static const char *const PROMPT_TEXTS[4] = { "[TAVIR]", "<mon>", "HanSh>", "sh>" };
static const char BANNER[] = BOOT_BANNER;
static_assert(sizeof BANNER - 1 == BOOT_BANNER_LENGTH, "the boot banner is 53 characters");

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

// 0 once the port is closing or the program is ending: nothing more may
// reach the box and no page may open.
static int mayGoOn(HWND window)
{
    return !closeRequested && PortIsOpen(window);
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
        writeByte(window, BANNER_ANSWER);
    }
}

// Each matcher finds its prompt's characters in order with anything between.
// A find claims the prompt watch, so it and the watch running out on the
// same tick post exactly one of the two commands.
static void matchPrompts(HWND window, uint8_t b)
{
    for (int i = 0; i < 4; i++) {
        if (upload.promptWatch <= 0) {
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
        upload.promptPos[i] = 0;
        if (upload.promptWatch.exchange(0) > 0)
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

// The engine's part of ending its own transfer once its move won: the
// watches it armed, the image's claim and the handshake matcher.
static int stopOwnTransfer(int from, int to)
{
    if (!StopTransfer(from, to))
        return 0;
    upload.handshakePos = 0;
    upload.ackWatch1 = 0;
    upload.ackWatch2 = 0;
    ReleaseImage(IMAGE_SENDING);
    return 1;
}

// A transfer that cannot go on ends its attempt as a failure, never as a
// completion; reported only if this move from the given state won over the
// tick.
static void abandonTransfer(HWND window, int from)
{
    if (stopOwnTransfer(from, UPLOAD_ENDED))
        postCommand(window, CMD_FAIL_RETRY, 0);
}

// A rejected block ends this transfer, not the attempt: the box may begin a
// new one with a new handshake. Its page is closed so no stale page is left
// behind, and the box gets as long to begin again as it had at the start: if
// it does not, the tick reports the failure instead of leaving the user with
// a frozen page.
static void rejectTransfer(int from)
{
    // lost: the block watchdog ran out at this moment and has reported
    if (stopOwnTransfer(from, UPLOAD_IDLE))
        upload.startWatch = TICKS_START;
}

static void dropHandshake(void)
{
    upload.handshakePos = 0;
    moveState(UPLOAD_STARTING, UPLOAD_IDLE);
}

static void sendImageBlock(HWND window, int length)
{
    SendBlock(window, length);
    upload.bytesSent += length;
}

// The engine's own selection, run by the main window's thread while this
// one waits with the engine lock let go (ClosePort answers sent messages
// while it waits, so the dialog shows there too); 1 when an image is open
// and the attempt that asked for it still waits for it. A new attempt begun
// meanwhile owns the state, and one ended meanwhile was reported: nothing
// of it is touched then.
static int chooseOwnImage(HWND window)
{
    int32_t attempt = upload.attempt;
    LeaveCriticalSection(EngineLock());
    LRESULT answer = SendMessageA(window, WM_CHOOSE_FOR_BOX, 0, 0);
    int result = answer > 0 ? int(answer) - 1 : 2;
    EnterCriticalSection(EngineLock());
    if (upload.attempt != attempt)
        return 0;
    if (result != 0)
        dropHandshake();
    return result == 0 && upload.uploadState == UPLOAD_STARTING;
}

// Claims the start watchdog unless it ran out: then the attempt was reported
// and is over, and the watchdog stays at its end for a late go-ahead too.
static int claimStartWatch(void)
{
    int32_t value = upload.startWatch;
    while (value != WATCH_EXPIRED && !upload.startWatch.compare_exchange_weak(value, 0)) {
    }
    return value != WATCH_EXPIRED;
}

// The go-ahead: measure the image, announce its length, send the first block.
// Returns 0 when the rest of the chunk is to be dropped.
static int startTransfer(HWND window)
{
    // 1. the image, claimed for the transfer; when none is open the box
    //    asked first, and it is chosen here
    int claimed = ClaimImage(IMAGE_SENDING);
    if (claimed && !upload.imageFile) {
        ReleaseImage(IMAGE_SENDING);
        // the box waits: the technician takes as long as it takes to find
        // the file, so the start watchdog ends here
        if (!claimStartWatch()) {
            dropHandshake();
            return 1;
        }
        if (!chooseOwnImage(window))
            return 0;
        claimed = ClaimImage(IMAGE_SENDING);
    }
    // 2. the user may have said stop (Abort) or the port closed meanwhile
    if (!mayGoOn(window)) {
        if (claimed)
            ReleaseImage(IMAGE_SENDING);
        dropHandshake();
        return 0;
    }
    // 3. then the start watchdog: while a selection holds the image the
    //    watchdog goes on and reports the attempt; once claimed it can no
    //    longer report it
    if (!claimed) {
        dropHandshake();
        return 1;
    }
    if (!claimStartWatch()) {
        ReleaseImage(IMAGE_SENDING);
        dropHandshake();
        return 1;
    }

    // 4. measure and read the first block before anything is announced, so
    //    that an unreadable image shows no progress page and sends no length
    long long size = -1;
    if (_fseeki64(upload.imageFile, 0, SEEK_END) == 0)
        size = _ftelli64(upload.imageFile);
    fseek(upload.imageFile, 0, SEEK_SET);
    int length = 0;
    if (size > 0 && size <= MAX_IMAGE_BYTES) {
        upload.transferSize = int32_t(size);
        upload.bytesSent = 0;
        upload.blocksAcked = 0;
        upload.blockTotal = int32_t((size + BLOCK_SIZE - 1) / BLOCK_SIZE);
    }
    if (size <= 0 || size > MAX_IMAGE_BYTES || !readBlock(&length)) {
        abandonTransfer(window, UPLOAD_STARTING);
        return 1;
    }

    // 5. the state first, so that a new attempt begun meanwhile wins; then
    //    the progress page, the length and the first block
    upload.ackWatch1 = TICKS_ACK;
    if (!moveState(UPLOAD_STARTING, UPLOAD_WAIT_ACK1)) {
        upload.ackWatch1 = 0;
        ReleaseImage(IMAGE_SENDING);
        return 1;
    }
    postCommand(window, CMD_SHOW_PROGRESS, upload.blockTotal);
    writeWord(window, uint32_t(upload.transferSize));
    sendImageBlock(window, length);
    return 1;
}

// Every block is acknowledged: the box gets a second to write the image,
// then the completion page, with the engine lock let go meanwhile. The page
// promises a reboot that only an open port can type: when the port closed
// in that second, the main window says what became of the box instead.
static int completeTransfer(HWND window)
{
    upload.handshakePos = 0;
    CloseFirmwareImage();
    ReleaseImage(IMAGE_SENDING);
    LeaveCriticalSection(EngineLock());
    PauseReader(1000);
    if (!closeRequested && IsWindow(window)) {
        if (PortIsOpen(window)) {
            HINSTANCE instance = (HINSTANCE)GetWindowLongPtrA(window, GWLP_HINSTANCE);
            DialogBoxParamA(instance, MAKEINTRESOURCEA(DLG_COMPLETED), window, CompletedDlgProc, 0);
        } else {
            PostMessageA(window, WM_NOT_REBOOTED, 0, 0);
        }
    }
    EnterCriticalSection(EngineLock());
    return 0;
}

// The second acknowledgement: the state moves first (the block watchdog may
// be running out at this moment), then the report, then the next block or
// the end.
static int acceptSecondAck(HWND window)
{
    int last = upload.bytesSent == upload.transferSize;
    if (!last)
        upload.ackWatch1 = TICKS_ACK;
    if (!moveState(UPLOAD_WAIT_ACK2, last ? UPLOAD_IDLE : UPLOAD_WAIT_ACK1)) {
        upload.ackWatch1 = 0;
        return 1;
    }
    upload.ackWatch2 = 0;
    int acked = ++upload.blocksAcked;
    if (last) {
        postCommand(upload.progressDialog, IDC_PERCENT, acked);
        return completeTransfer(window);
    }
    // The next block goes out before the report: the box waits for it, the
    // page does not.
    int length = 0;
    int readable = readBlock(&length);
    if (readable)
        sendImageBlock(window, length);
    postCommand(upload.progressDialog, IDC_PERCENT, acked);
    if (!readable)
        abandonTransfer(window, UPLOAD_WAIT_ACK1);
    return 1;
}

static void acceptFirstAck(void)
{
    upload.ackWatch2 = TICKS_ACK;
    if (moveState(UPLOAD_WAIT_ACK1, UPLOAD_WAIT_ACK2))
        upload.ackWatch1 = 0;
    else
        upload.ackWatch2 = 0;
}

static void matchHandshake(HWND window, uint8_t b)
{
    int pos = upload.handshakePos;
    if (b != PROTOCOL_HANDSHAKE[pos]) {
        upload.handshakePos = 0;
        return;
    }
    if (++pos < 4) {
        upload.handshakePos = pos;
        return;
    }
    upload.handshakePos = 0;
    if (!moveState(UPLOAD_IDLE, UPLOAD_STARTING))
        return;
    // The box has answered: a prompt watch still running is over, so no
    // false alarm comes while the user chooses an image for it. A box that
    // asked first had no command typed, so no start watchdog runs: the
    // handshake arms one, and a go-ahead that is lost or cannot be served
    // still ends the attempt with a report.
    upload.promptWatch.exchange(0);
    int32_t unarmed = 0;
    upload.startWatch.compare_exchange_strong(unarmed, TICKS_START);
    ReleaseImage(IMAGE_SENDING);   // left by a transfer that ended without the engine
    writeByte(window, PROTOCOL_ACK);
    writeByte(window, PROTOCOL_REPLY);
}

static int isReject(uint8_t b)
{
    return b == PROTOCOL_REJECT1 || b == PROTOCOL_REJECT2;
}

// One byte through the upload state machine; 0 drops the rest of the chunk.
static int stepUpload(HWND window, uint8_t b)
{
    int state = upload.uploadState;
    switch (state) {
    case UPLOAD_IDLE:
        matchHandshake(window, b);
        return 1;
    case UPLOAD_STARTING:
        if (b == PROTOCOL_ACK)
            return startTransfer(window);
        dropHandshake();
        return 1;
    case UPLOAD_WAIT_ACK1:
        if (b == PROTOCOL_ACK)
            acceptFirstAck();
        else if (isReject(b))
            rejectTransfer(state);
        return 1;
    case UPLOAD_WAIT_ACK2:
        if (b == PROTOCOL_ACK)
            return acceptSecondAck(window);
        if (isReject(b))
            rejectTransfer(state);
        return 1;
    }
    return 1;
}

int ProcessReceived(HWND window, const uint8_t *bytes, DWORD count)
{
    EnterCriticalSection(EngineLock());
    for (DWORD i = 0; i < count && mayGoOn(window); i++) {
        uint8_t b = bytes[i];
        matchBanner(window, b);
        matchPrompts(window, b);
        if (!stepUpload(window, b))
            break;
    }
    LeaveCriticalSection(EngineLock());
    return 1;
}

// Writes the first n bytes of blockBuffer and then their 32-bit sum, most
// significant byte first. The bytes go out in one write: a write call costs
// about as long as a byte takes on the line at 115200 baud, so a call for
// each byte cannot keep the line busy. The box sees the same bytes either way.
void SendBlock(HWND window, int n)
{
    uint8_t out[BLOCK_SIZE + CHECKSUM_BYTES];
    if (n < 0 || n > BLOCK_SIZE)
        return;
    uint32_t sum = 0;
    for (int i = 0; i < n; i++) {
        out[i] = upload.blockBuffer[i];
        sum += upload.blockBuffer[i];
    }
    for (int shift = 24, at = n; shift >= 0; shift -= 8, at++)
        out[at] = uint8_t(sum >> shift);
    WritePort(window, out, DWORD(n + CHECKSUM_BYTES));
}
