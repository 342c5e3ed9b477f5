// Firmware image selection: the file dialog, the 128-byte header check at
// offset 0 or 0x8000, the load command that fits the layout, the warning page
// and the start of the typed command sequence. Runs on the user-interface
// thread: for the main window, and for the engine when the box asks for data
// while no image is open (WM_CHOOSE_FOR_BOX).
#include "upload/upload.h"
#include "app/app.h"
#include "app/winlog.h"
#include "app/ids.h"

#include <commdlg.h>
#include <cstring>

#define ADDRESS_WINDOW_LOW   0xBFC00000u
#define ADDRESS_WINDOW_HIGH  0xBFE00000u
#define ADDRESS_FORCED_BITS  0xA0000000u
#define MAX_DECLARED_SIZE    0x200000u

char imagePath[1024] = "c:\\Program Files\\ferno\\*.bin";
char imageFileTitle[256] = "BINARY";
uint8_t headerBuffer[HEADER_SIZE];

static uint32_t headerWord(int index)
{
    const uint8_t *p = headerBuffer + index * 4;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

static int isInAddressWindow(uint32_t address)
{
    return address >= ADDRESS_WINDOW_LOW && address <= ADDRESS_WINDOW_HIGH;
}

// Checks the header at offset 0 or ALT_HEADER_OFFSET and leaves the file at
// its start; for the second layout it gives the monitor's load address.
int CheckImageHeader(FILE *file, long offset, uint32_t *loadAddress)
{
    if (fseek(file, offset, SEEK_SET) != 0)
        return 0;
    // A short header fails: no stale bytes of an earlier check may decide.
    if (fread(headerBuffer, 1, HEADER_SIZE, file) != HEADER_SIZE)
        return 0;

    uint32_t headerAddress = ((headerWord(0) & 0xFFFFu) << 16) | (headerWord(1) & 0xFFFFu);
    uint32_t imageBase = (headerAddress - HEADER_SIZE) | ADDRESS_FORCED_BITS;
    if (!isInAddressWindow(imageBase))
        return 0;
    if (!isInAddressWindow(headerWord(10) | ADDRESS_FORCED_BITS))
        return 0;
    if (headerWord(9) > MAX_DECLARED_SIZE)
        return 0;

    fseek(file, 0, SEEK_SET);
    if (offset == ALT_HEADER_OFFSET && loadAddress)
        *loadAddress = imageBase - ALT_HEADER_OFFSET;
    return 1;
}

void CloseFirmwareImage(void)
{
    if (upload.imageFile) {
        fclose(upload.imageFile);
        upload.imageFile = nullptr;
    }
}

// Opens imagePath, measures it and builds the load command. 0: usable and
// left open at offset 0; 1: unreadable, too large or a foreign file (closed).
int OpenFirmwareImage(HWND window)
{
    CloseFirmwareImage();
    upload.imageFile = fopen(imagePath, "rb");
    if (!upload.imageFile) {
        LogWin32Failure("fopen", imagePath, GetLastError());
        MessageBoxA(window, "Can't open file.", APP_TITLE, MB_OK | MB_ICONEXCLAMATION);
        return 1;
    }

    // 1. measure; the box is told the length in 32 bits, the page in signed 32
    long long size = -1;
    if (_fseeki64(upload.imageFile, 0, SEEK_END) == 0)
        size = _ftelli64(upload.imageFile);
    if (size < 0 || size > MAX_IMAGE_BYTES) {
        CloseFirmwareImage();
        return 1;
    }
    upload.imageFileSize = int32_t(size);
    fseek(upload.imageFile, 0, SEEK_SET);

    // 2. header first, else header after the 0x8000 prefix
    strcpy(upload.loadCommand, "\r\rq\r");
    if (CheckImageHeader(upload.imageFile, 0, nullptr))
        return 0;
    uint32_t loadAddress = 0;
    if (!CheckImageHeader(upload.imageFile, ALT_HEADER_OFFSET, &loadAddress)) {
        // A file that failed the check must never reach the box.
        CloseFirmwareImage();
        return 1;
    }
    snprintf(upload.loadCommand, sizeof upload.loadCommand, "\r\rq 0x%x\r", (unsigned)loadAddress);
    return 0;
}

// The dialogs, the file, the load command and the warning, with the image
// claimed for this thread.
static int chooseClaimed(HWND window, int startSequence)
{
    CloseFirmwareImage();

    OPENFILENAMEA dialog;
    memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    dialog.hwndOwner = window;
    dialog.hInstance = appInstance;
    dialog.lpstrFilter = "*.bin\0\0";
    dialog.lpstrFile = imagePath;
    dialog.nMaxFile = sizeof imagePath - 1;
    dialog.lpstrFileTitle = imageFileTitle;
    dialog.nMaxFileTitle = sizeof imageFileTitle - 1;
    dialog.lpstrDefExt = "BIN";
    if (!GetOpenFileNameA(&dialog))
        return 2;

    int result = OpenFirmwareImage(window);
    if (result != 0)
        return result;

    HINSTANCE instance = (HINSTANCE)GetWindowLongPtrA(window, GWLP_HINSTANCE);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(DLG_WARNING), window, WarningDlgProc, 0);
    // After Abort nothing more may be typed to the box, on either thread.
    if (startSequence && !closeRequested)
        StartCommandSequence();
    return 0;
}

// The whole selection step. 0: image open, warning shown (and with
// startSequence the typed commands begin unless the user aborted); 1:
// unusable file; 2: cancelled; CHOOSE_BUSY: the other thread is choosing or
// a transfer is reading the image, and nothing was changed.
int ChooseFirmwareImage(HWND window, int startSequence)
{
    if (!ClaimImage(IMAGE_CHOOSING))
        return CHOOSE_BUSY;
    // A sequence still typing must not type a load command rewritten here.
    StopSender();
    int result = chooseClaimed(window, startSequence);
    ReleaseImage(IMAGE_CHOOSING);
    return result;
}
