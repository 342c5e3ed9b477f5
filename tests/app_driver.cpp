// Drives the real program from outside (or from another thread of its own
// process): window messages find its pages, read them and press their
// buttons and keys; xdotool, run through the machine's shell, gives the
// display real key presses and clicks. DriveWizard is the one page walk;
// its hooks let the robustness runs count and strike faults on the way.
#include "tests/app_driver.h"
#include "app/ids.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

static std::string exeFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

static int startProcess(const std::string &command, PROCESS_INFORMATION *process)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, process);
}

// TESSEL_PROGRAM names another build of the program beside this one (the
// benchmark's traced build).
int Launch(App &app)
{
    const char *program = getenv("TESSEL_PROGRAM");
    app.running = startProcess("\"" + exeFolder() + (program ? program : "TesselFlash.exe") + "\"", &app.process);
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

DWORD CloseProgram(App &app)
{
    HWND main = MainWindowOf(app);
    if (main)
        PostMessageA(main, WM_CLOSE, 0, 0);
    if (app.running)
        return WaitExit(app, HANG_MS);
    return PumpUntil([&] { return !IsWindow(main); }, HANG_MS) ? 0 : 99;
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
        WaitHandled(found);   // its thread idle once: it has painted before it is read or pictured
    return found;
}

HWND MainWindowOf(App &app)
{
    for (HWND w = FindWindowExA(nullptr, nullptr, "TTYWndClass", nullptr); w; w = FindWindowExA(nullptr, w, "TTYWndClass", nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == app.process.dwProcessId)
            return w;
    }
    return nullptr;
}

// The control that a key reaches: the keyboard focus of the page's thread
// (a page already gone has none: thread 0 would mean the foreground one).
HWND FocusOf(HWND page)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(page, nullptr);
    if (thread && GetGUIThreadInfo(thread, &info) && info.hwndFocus)
        return info.hwndFocus;
    return page;
}

// A sent message is handled when the thread next looks at its queue, which
// may also hand it the next posted one: after a few round trips what was
// posted before has mostly been dispatched, but not always (paints and X
// events may come first). Real keys come through its X connection, read
// whenever it waits, in the same order.
void WaitHandled(HWND window)
{
    for (int i = 0; i < 5 && IsWindow(window); i++) {
        DWORD_PTR result;
        SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, HANG_MS, &result);
    }
}

void PostKey(HWND target, UINT key)
{
    LPARAM scan = LPARAM(MapVirtualKeyA(key, 0)) << 16 | 1;
    PostMessageA(target, WM_KEYDOWN, key, scan);
    PostMessageA(target, WM_KEYUP, key, scan | 0xC0000000);
}

void PressKey(HWND page, UINT key, int times)
{
    for (int i = 0; i < times; i++) {
        PostKey(FocusOf(page), key);
        WaitHandled(page);   // a Tab moves the focus before the next key looks for it
    }
}

// Wine starts a Linux program without a process to wait for, so the command
// writes its output to a file and renames it when it is done.
std::string RunShell(const std::string &command)
{
    std::string folder = getenv("TESSEL_BOX_DIR") ? getenv("TESSEL_BOX_DIR") : "/tmp";
    std::string done = "Z:" + folder + "/shell.out";
    DeleteFileA(done.c_str());
    PROCESS_INFORMATION process = {};
    if (!startProcess("/bin/sh -c \"(" + command + ") >'" + folder + "/shell.tmp' 2>&1; mv '" + folder +
                      "/shell.tmp' '" + folder + "/shell.out'\"", &process))
        return "CreateProcess failed";
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    PumpUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, HANG_MS);
    return ReadTextFile(done);
}

// Wine keeps a window's X window in this property.
static unsigned long xWindowOf(HWND window)
{
    return (unsigned long)(ULONG_PTR)GetPropA(window, "__wine_x11_whole_window");
}

void TypeKeys(HWND window, const std::string &keys)
{
    RunShell("xdotool windowfocus --sync " + std::to_string(xWindowOf(window)) + " key --delay 40 " + keys);
    WaitHandled(window);
}

void ClickCloseBox(HWND window)
{
    RECT frame;
    GetWindowRect(window, &frame);
    int x = frame.right - GetSystemMetrics(SM_CXFRAME) - GetSystemMetrics(SM_CXSIZE) / 2;
    int y = frame.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYSIZE) / 2;
    RunShell("xdotool mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click 1");
    WaitHandled(window);
}

void ChooseFile(HWND fileDialog, const std::string &path)
{
    HWND name = GetDlgItem(fileDialog, 0x47c) ? GetDlgItem(fileDialog, 0x47c) : GetDlgItem(fileDialog, 0x480);
    SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    Press(fileDialog, IDOK);
}

void Shot(const char *name)
{
    const char *folder = getenv("TESSEL_SHOTS");
    if (!folder)
        return;
    // The pages grow with the display's DPI (LogPixels); so does the picture.
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    std::string crop = std::to_string(720 * dpi / 96) + "x" + std::to_string(520 * dpi / 96);
    RunShell("import -window root -crop " + crop + "+0+0 +repage '" + folder + "/" + name + ".png'");
}

int BoxPortIndex(void)
{
    const char *index = getenv("TESSEL_COM_INDEX");
    return index ? atoi(index) : 6;   // COM7
}

// The default answer; 1 when the page ends the run.
static int answerPage(const DrivePlan &plan, HWND page, PageKind kind, HWND *progress)
{
    if (kind == PAGE_FILE)
        ChooseFile(page, plan.image);
    else if (kind == PAGE_PROGRESS)
        *progress = page;
    else
        AnswerPage(page, kind, { kind == PAGE_CONNECT ? 0 : GoOnButtonOf(kind), plan.portIndex });
    return kind == PAGE_COMPLETED || IsFailurePage(kind);
}

DriveResult DriveWizard(App &app, const DrivePlan &plan)
{
    // A page gone may hand its handle on to a later one, which must not be
    // taken for answered.
    for (auto page = app.answered.begin(); page != app.answered.end();)
        page = IsWindow(*page) ? std::next(page) : app.answered.erase(page);
    DriveResult result;
    HWND progress = nullptr;
    DWORD lastMove = GetTickCount();
    PumpUntil([&] {
        if (GetTickCount() - lastMove > plan.quietMs || WaitForSingleObject(app.process.hProcess, 0) == WAIT_OBJECT_0) {
            result.stalled = 1;
            return true;
        }
        if (plan.onRound && plan.onRound())
            lastMove = GetTickCount();
        std::string text = progress && IsWindow(progress) ? ControlText(progress, IDC_PERCENT) : "";
        int percent = text.empty() ? -1 : atoi(text.c_str());
        result.percentWentBack |= percent >= 0 && percent < result.highestPercent;
        if (percent > result.highestPercent) {
            result.highestPercent = percent;
            lastMove = GetTickCount();
            if (plan.onPercent)
                plan.onPercent(percent);
        }
        for (HWND page : VisibleDialogs(app.process.dwProcessId)) {
            PageKind kind = PageKindOf(page);
            if (app.answered.count(page) || kind == PAGE_OTHER || kind == PAGE_ABOUT)
                continue;   // no run answers About, nor windows that are no page
            lastMove = GetTickCount();
            if (kind == plan.stopAt || (plan.onPage && plan.onPage(page, kind))) {
                result.end = kind == plan.stopAt ? kind : result.end;
                return true;
            }
            app.answered.insert(page);
            Sleep(plan.paintMs);
            if (answerPage(plan, page, kind, &progress)) {
                result.end = result.end == PAGE_OTHER ? kind : result.end;
                if (plan.stopAtEnd)
                    return true;
            }
        }
        return false;
    }, INFINITE);
    return result;
}
