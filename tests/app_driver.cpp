// Drives the real program from outside: cross-process messages find its
// pages, read them and press their buttons.
#include "tests/app_driver.h"
#include "app/ids.h"

#include <cstdio>
#include <cstdlib>

static std::string exeFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

int Launch(App &app)
{
    const char *exe = getenv("TESSEL_EXE");
    std::string command = "\"" + (exe ? std::string(exe) : exeFolder() + "TesselFlash.exe") + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    app.running = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &app.process);
    return app.running;
}

DWORD WaitExit(App &app, DWORD timeoutMs)
{
    if (!app.running)
        return 0;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(app.process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(app.process.hProcess, &code);
    else
        TerminateProcess(app.process.hProcess, 99);
    CloseHandle(app.process.hProcess);
    CloseHandle(app.process.hThread);
    app.running = false;
    return code;
}

HWND WaitPage(App &app, PageKind kind, DWORD timeoutMs)
{
    HWND found = nullptr;
    PumpUntil([&] {
        for (HWND dialog : VisibleDialogs(app.process.dwProcessId))
            if (PageKindOf(dialog) == kind)
                found = dialog;
        return found != nullptr;
    }, timeoutMs);
    if (found)
        Sleep(150);   // let it paint before it is read or pictured
    return found;
}

struct MainSearch {
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK matchMainWindow(HWND window, LPARAM parameter)
{
    MainSearch *s = reinterpret_cast<MainSearch *>(parameter);
    DWORD pid = 0;
    char name[32];
    GetWindowThreadProcessId(window, &pid);
    if (pid == s->pid && GetClassNameA(window, name, sizeof name) && lstrcmpA(name, "TTYWndClass") == 0)
        s->found = window;
    return TRUE;
}

HWND MainWindowOf(App &app)
{
    MainSearch search = { app.process.dwProcessId, nullptr };
    EnumWindows(matchMainWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void ChooseFile(HWND fileDialog, const std::string &path)
{
    HWND name = GetDlgItem(fileDialog, 0x47c);
    if (!name)
        name = GetDlgItem(fileDialog, 0x480);
    SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    Press(fileDialog, IDOK);
}

void Shot(const char *name)
{
    const char *folder = getenv("TESSEL_SHOTS");
    if (!folder)
        return;
    HDC screen = GetDC(nullptr);
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, picture);
    BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
    GdiFlush();
    DWORD rowBytes = (DWORD(w) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file = { 0x4D42, DWORD(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + rowBytes * h), 0, 0,
                              DWORD(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) };
    std::string path = std::string("Z:") + folder + "/" + name + ".bmp";
    FILE *out = fopen(path.c_str(), "wb");
    if (out) {
        fwrite(&file, sizeof file, 1, out);
        fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
        fwrite(bits, 1, rowBytes * h, out);
        fclose(out);
    }
    SelectObject(memory, previous);
    DeleteObject(picture);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

int BoxPortIndex(void)
{
    const char *index = getenv("TESSEL_COM_INDEX");
    return index ? atoi(index) : 6;   // COM7
}

static int isRunEnd(PageKind kind)
{
    return kind == PAGE_COMPLETED || kind == PAGE_OPEN_FAILED || kind == PAGE_COMM_FAILED ||
           kind == PAGE_FAIL_MAINS || kind == PAGE_INVALID_FILE;
}

// The button a user presses to go on from a page that needs nothing else.
static int buttonOf(PageKind kind)
{
    switch (kind) {
    case PAGE_WELCOME:
    case PAGE_PORT:
        return 3;          // Next
    case PAGE_WARNING:
        return IDCANCEL;   // Continue
    default:
        return IDOK;
    }
}

DriveResult DriveWizard(App &app, const DrivePlan &plan)
{
    DriveResult result;
    HWND progress = nullptr;
    DWORD lastMove = GetTickCount();
    int done = 0;
    PumpUntil([&] {
        if (GetTickCount() - lastMove > plan.quietMs)
            return true;
        if (WaitForSingleObject(app.process.hProcess, 0) == WAIT_OBJECT_0)
            return true;
        if (progress && IsWindow(progress)) {
            std::string text = ControlText(progress, IDC_PERCENT);
            if (!text.empty()) {
                int percent = atoi(text.c_str());
                if (percent < result.highestPercent)
                    result.percentWentBack = 1;
                if (percent > result.highestPercent) {
                    result.highestPercent = percent;
                    lastMove = GetTickCount();
                    if (plan.onPercent)
                        plan.onPercent(percent);
                }
            }
        }
        for (HWND page : VisibleDialogs(app.process.dwProcessId)) {
            if (app.answered.count(page))
                continue;
            PageKind kind = PageKindOf(page);
            if (kind == PAGE_OTHER || kind == PAGE_ABOUT)
                continue;
            app.answered.insert(page);
            result.pages++;
            lastMove = GetTickCount();
            Sleep(150);   // let it paint and take its focus first
            if (kind == plan.stopAt) {
                result.end = kind;
                done = 1;
                return true;
            }
            switch (kind) {
            case PAGE_PORT:
                SendDlgItemMessageA(page, IDC_PORT, CB_SETCURSEL, plan.portIndex, 0);
                break;
            case PAGE_CONNECT:
                PowerOnBox();
                continue;   // the program ends this page itself
            case PAGE_FILE:
                ChooseFile(page, plan.image);
                continue;
            case PAGE_PROGRESS:
                progress = page;
                continue;   // it closes itself
            default:
                break;
            }
            Press(page, buttonOf(kind));
            if (isRunEnd(kind)) {
                result.end = kind;
                done = 1;
                return true;
            }
        }
        return false;
    }, INFINITE);
    if (!done)
        result.end = PAGE_OTHER;
    return result;
}
