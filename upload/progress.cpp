// The progress page: a bar that steps once per acknowledged block, the
// percentage and the wait estimate. It runs on the user-interface thread and
// registers itself in progressDialog, where the engine posts IDC_PERCENT
// reports (absolute counts) and whoever ends the transfer (the engine, the
// tick, a new attempt) posts IDCANCEL. Because the page may
// open after reports were already posted to nobody, it catches up from
// blocksAcked when it opens and ends at once when no transfer runs any more
// or the count is already complete. The bar shows the count itself, so a
// report that was queued before the catch-up never pushes it further; a page
// that opens while an older one is still up (a transfer begun again) ends
// the older one.
#include "upload/upload.h"
#include "app/app.h"
#include "app/winlog.h"
#include "app/ids.h"

#include <commctrl.h>

#define LINE_BYTES_PER_SECOND 11520

struct ProgressDlgState {
    HWND barWindow;
    int32_t blocksDone;
};

static ProgressDlgState progressState;

static int32_t totalBlocks(void)
{
    int32_t total = upload.blockTotal;
    return total > 0 ? total : 100;
}

// Percentage of the blocks done, as reported: a count past the total shows
// past 100, so such a report is seen rather than hidden.
static int percentDone(void)
{
    return int((long long)progressState.blocksDone * 100 / totalBlocks());
}

static void showPercent(HWND dialog)
{
    char text[16];
    wsprintfA(text, "%d %%", percentDone());
    SetDlgItemTextA(dialog, IDC_PERCENT, text);
}

static void showWaitText(HWND dialog)
{
    int minutes = int((long long)upload.imageFileSize * 2 / 60 / LINE_BYTES_PER_SECOND + 1);
    char text[256];
    wsprintfA(text, "Please wait until uploading is completed!\n(It takes about %d minutes.)\n"
                    "Please do not unplug serial and power cable.\n"
                    "While uploading file,do not run any other program ", minutes);
    SetDlgItemTextA(dialog, IDC_WAIT_TEXT, text);
}

HWND CreateProgressBar(HWND dialog)
{
    RECT client;
    GetClientRect(dialog, &client);
    int h = GetSystemMetrics(SM_CYVSCROLL);
    int width = client.right - client.left + 1;
    int height = client.bottom - client.top + 1;
    int w = width * 80 / 100;
    int x = client.left + (width - w) / 2;
    int y = client.top + height / 2 - h / 2;
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE, x, y, w, h,
                               dialog, nullptr, appInstance, nullptr);
    if (!bar)
        return nullptr;
    // A 32-bit range: an image of more than 65,535 blocks still fills the bar.
    SendMessageA(bar, PBM_SETRANGE32, 0, totalBlocks());
    SendMessageA(bar, PBM_SETSTEP, 1, 0);
    return bar;
}

static int ownsBar(HWND dialog)
{
    return progressState.barWindow && GetParent(progressState.barWindow) == dialog;
}

static INT_PTR endProgress(HWND dialog)
{
    // The bar and the count belong to the newest page; an older page ending
    // later leaves them alone.
    HWND self = dialog;
    upload.progressDialog.compare_exchange_strong(self, nullptr);
    if (ownsBar(dialog)) {
        DestroyWindow(progressState.barWindow);
        progressState.barWindow = nullptr;
        progressState.blocksDone = 0;
    }
    EndDialog(dialog, 1);
    return TRUE;
}

static INT_PTR initProgress(HWND dialog)
{
    HWND older = upload.progressDialog.exchange(dialog);
    if (older && older != dialog)
        PostMessageA(older, WM_COMMAND, IDCANCEL, 0);
    progressState.blocksDone = 0;
    progressState.barWindow = CreateProgressBar(dialog);
    if (!progressState.barWindow) {
        LogWin32Failure("CreateWindowExA", PROGRESS_CLASSA, GetLastError());
        MessageBoxA(dialog, "ProgressBar Creation Failure.", APP_TITLE, MB_OK | MB_ICONEXCLAMATION);
        return endProgress(dialog);
    }
    // Catch up with reports posted before this page was there to take them.
    int32_t acked = upload.blocksAcked;
    int32_t state = upload.uploadState;
    if ((state != UPLOAD_WAIT_ACK1 && state != UPLOAD_WAIT_ACK2) || acked >= totalBlocks())
        return endProgress(dialog);
    if (acked > 0) {
        progressState.blocksDone = acked;
        SendMessageA(progressState.barWindow, PBM_SETPOS, acked, 0);
    }
    return TRUE;
}

static INT_PTR reportProgress(HWND dialog, int32_t count)
{
    if (!ownsBar(dialog))
        return FALSE;   // an older page that a newer one has replaced
    progressState.blocksDone = count;
    SendMessageA(progressState.barWindow, PBM_SETPOS, count, 0);
    showPercent(dialog);
    if (count == totalBlocks())   // only the last block ends the page
        return endProgress(dialog);
    return FALSE;
}

INT_PTR CALLBACK ProgressDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return initProgress(dialog);
    case WM_PAINT:
        showPercent(dialog);
        showWaitText(dialog);
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_PERCENT:
            return reportProgress(dialog, int32_t(lParam));
        case IDCANCEL:
            return endProgress(dialog);
        }
        return FALSE;
    }
    return FALSE;
}
