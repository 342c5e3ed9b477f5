// The boot monitor as boxsim plays it: power-on with its banner, the stop
// window in which an 's' keeps the firmware from booting, the monitor's
// line editor with its echo and prompt, and its commands: mon, boot, and
// the load command ("q" or "q 0xADDRESS"), which hands over to the transfer.
#include "boxsim/box.h"
#include "../../upload/protocol.h"

#include <cstdlib>
#include <cstring>

static void sendPrompt(void)
{
    SendText("\r\n");
    SendText(boxOptions.prompt);
}

void PowerOn(const char *source, double now)
{
    FlushIgnored();
    if (InTransfer()) {
        Report("event=abandon reason=power-on state=%s", BOX_STATE_NAMES[box.state]);
        box.lastSendTime = box.txDrainTime;
        PrintVerdict("incomplete", now);
    }
    Report("event=power-on source=%s", source);
    box.lastPowerOn = now;
    box.lineLength = 0;
    ResetTransfer();
    if (boxOptions.silent) {
        box.state = BOX_STATE_OFF;
        return;
    }
    SendText("\r\n");
    SendText(BOOT_BANNER);
    SendText("\r\n");
    box.state = BOX_STATE_STOP_WINDOW;
    box.stopDeadline = now + boxOptions.stopWindowMs / 1000.0 +
                       (boxOptions.pace ? (double)PendingTx() / LINE_BYTES_PER_SECOND : 0.0);
}

void BackToMonitor(void)
{
    sendPrompt();
    box.state = BOX_STATE_MONITOR;
    box.lineLength = 0;
}

static void startLoad(double now)
{
    Report("event=load address=%s", box.hasAddress ? "given" : "none");
    StartHandshake(now);
}

static int isHexDigits(const char *text, int count)
{
    for (int i = 0; i < count; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return 0;
    }
    return 1;
}

static void handleLine(double now)
{
    box.line[box.lineLength] = '\0';
    box.lineLength = 0;
    const char *text = box.line;
    if (text[0] == '\0') {
        sendPrompt();
        return;
    }
    RecordCommand(text);
    Report("event=command text=%s", text);
    if (strcmp(text, "mon") == 0) {
        sendPrompt();
    } else if (strcmp(text, "boot") == 0) {
        SendText("\r\n");
        PowerOn("boot-command", now);
    } else if (strcmp(text, "q") == 0) {
        box.hasAddress = 0;
        startLoad(now);
    } else if (strlen(text) == 12 && strncmp(text, "q 0x", 4) == 0 && isHexDigits(text + 4, 8)) {
        box.hasAddress = 1;
        box.address = (uint32_t)strtoul(text + 4, nullptr, 16);
        startLoad(now);
    } else {
        SendText("\r\n?\r\n");
        SendText(boxOptions.prompt);
    }
}

void HandleMonitorByte(uint8_t byte, double now)
{
    if (byte == '\r') {
        handleLine(now);
    } else if (byte == 0x08 || byte == 0x7F) {
        if (box.lineLength > 0) {
            box.lineLength--;
            SendText("\b \b");
        }
    } else if (byte >= 0x20 && byte <= 0x7E) {
        if (box.lineLength < BOX_LINE_MAX) {
            box.line[box.lineLength++] = (char)byte;
            SendByte(byte);
        }
    } else {
        NoteIgnored(byte);   // logged, so a run can tell what reached the monitor
    }
}

// In the stop window an 's' stops the boot; any other byte is ignored.
void HandleStopWindowByte(uint8_t byte, double now)
{
    if (byte != 's') {
        NoteIgnored(byte);
        return;
    }
    FlushIgnored();
    RecordCommand("s");
    Report("event=stop");
    if (faultOptions.handshakeFirst) {
        // Like a box left waiting for data: no prompt, straight into a load.
        box.lineLength = 0;
        box.hasAddress = 0;
        startLoad(now);
    } else {
        BackToMonitor();
    }
}

void EndStopWindowIfDue(double now)
{
    if (box.state == BOX_STATE_STOP_WINDOW && now >= box.stopDeadline) {
        FlushIgnored();
        SendText("\r\nBooting firmware...\r\n");
        box.state = BOX_STATE_RUNNING;
        Report("event=boot");
    }
}

void AutobootIfDue(double now)
{
    if (boxOptions.autobootSeconds > 0.0 && !InTransfer() && box.state != BOX_STATE_MONITOR &&
        now >= box.lastPowerOn + boxOptions.autobootSeconds)
        PowerOn("autoboot", now);
}
