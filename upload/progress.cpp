// The progress page: a bar that steps once per acknowledged block, the
// percentage and the wait estimate. It runs on the user-interface thread and
// registers itself in progressDialog, where the engine posts IDC_PERCENT
// reports (absolute counts) and the tick posts IDCANCEL. Because the page may
// open after reports were already posted to nobody, it catches up from
// blocksAcked when it opens and ends at once when no transfer runs any more.
#include "upload/upload.h"
#include "app/app.h"
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

// Percentage of the blocks done, never below 0 or past 100.
static int percentDone(void)
{
    long long percent = (long long)progressState.blocksDone * 100 / totalBlocks();
    return percent < 0 ? 0 : percent > 100 ? 100 : int(percent);
}

static void showPercent(HWND dialog)
{
    char text[16];
    wsprintfA(text, "%d %%", percentDone());
    SetDlgItemTextA(dialog, IDC_PERCENT, text);
}

static void showWaitText(HWND dialog)
{
    int minutes = upload.imageFileSize * 2 / 60 / LINE_BYTES_PER_SECOND + 1;
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
    if (upload.blockTotal == 0)
        upload.blockTotal = 100;
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, upload.blockTotal & 0xFFFF));
    SendMessageA(bar, PBM_SETSTEP, 1, 0);
    return bar;
}

static INT_PTR endProgress(HWND dialog)
{
    if (progressState.barWindow) {
        DestroyWindow(progressState.barWindow);
        progressState.barWindow = nullptr;
    }
    progressState.blocksDone = 0;
    // A newer page may have taken over the reports; leave it registered.
    HWND self = dialog;
    upload.progressDialog.compare_exchange_strong(self, nullptr);
    EndDialog(dialog, 1);
    return TRUE;
}

static INT_PTR initProgress(HWND dialog)
{
    upload.progressDialog = dialog;
    progressState.blocksDone = 0;
    progressState.barWindow = CreateProgressBar(dialog);
    if (!progressState.barWindow) {
        MessageBoxA(dialog, "ProgressBar Creation Failure.", APP_TITLE, MB_OK | MB_ICONEXCLAMATION);
        return endProgress(dialog);
    }
    // Catch up with reports posted before this page was there to take them.
    if (upload.uploadState == UPLOAD_IDLE)
        return endProgress(dialog);
    int32_t acked = upload.blocksAcked;
    if (acked > 0) {
        progressState.blocksDone = acked;
        SendMessageA(progressState.barWindow, PBM_SETPOS, acked, 0);
    }
    return TRUE;
}

static INT_PTR reportProgress(HWND dialog, int32_t count)
{
    progressState.blocksDone = count;
    SendMessageA(progressState.barWindow, PBM_STEPIT, 0, 0);
    showPercent(dialog);
    if (count >= upload.blockTotal)
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
