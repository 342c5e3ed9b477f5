// Stand-in main window, page answerer and box end for the serial tests.
#include "tests/port_harness.h"
#include "app/app.h"
#include "app/ids.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

static WNDPROC extraProc;

static LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE)
        return CreateTtyState(window);
    if (message == WM_DESTROY) {
        DestroyTtyState(window);
        return 0;
    }
    if (extraProc && extraProc(window, message, wParam, lParam))
        return 0;
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateTestMainWindow(WNDPROC extra)
{
    appInstance = GetModuleHandleA(nullptr);
    static const WNDCLASSA windowClass = { 0, testWindowProc, 0, sizeof(LONG_PTR), appInstance,
                                           nullptr, nullptr, nullptr, nullptr, "TesselTestMain" };
    [[maybe_unused]] static const ATOM atom = RegisterClassA(&windowClass);
    extraProc = extra;
    mainWindow = CreateWindowExA(0, "TesselTestMain", "test main", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                                 nullptr, nullptr, appInstance, nullptr);
    return mainWindow;
}

void DestroyTestMainWindow(HWND window)
{
    DestroyWindow(window);
    mainWindow = nullptr;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// ------------------------------------------------------------- page answerer

static std::thread answerer;
static std::atomic<int> answering{ 0 };
static std::mutex seenLock;
static std::vector<PageKind> seen;

PageKind PageKindOf(HWND dialog)
{
    static const struct { int control; PageKind kind; } marks[] = {
        { IDC_PORT, PAGE_PORT }, { 291, PAGE_CABLE }, { 293, PAGE_DISCONNECT }, { 292, PAGE_CONNECT },
        { 281, PAGE_COMPLETED }, { 1017, PAGE_WARNING }, { 280, PAGE_WELCOME }, { 1023, PAGE_OPEN_FAILED },
        { 1022, PAGE_COMM_FAILED }, { 278, PAGE_FAIL_MAINS }, { 288, PAGE_INVALID_FILE },
        { IDC_PERCENT, PAGE_PROGRESS }, { 529, PAGE_ABOUT }, { 0x47c, PAGE_FILE }, { 0x480, PAGE_FILE },
    };
    for (auto mark : marks) {
        if (GetDlgItem(dialog, mark.control))
            return mark.kind;
    }
    return PAGE_OTHER;
}

// Asked with a bound: under Wine a page of another process that ended while
// it was asked once left the asker waiting for good.
std::string ControlText(HWND dialog, int id)
{
    char text[1024] = "";
    DWORD_PTR length = 0;
    HWND control = GetDlgItem(dialog, id);
    if (control && !SendMessageTimeoutA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                                        2000, &length))
        text[0] = '\0';
    return text;
}

struct FoundDialogs { DWORD processId; std::vector<HWND> list; };

static BOOL CALLBACK collectDialog(HWND window, LPARAM parameter)
{
    FoundDialogs *found = reinterpret_cast<FoundDialogs *>(parameter);
    char className[16];
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == found->processId && IsWindowVisible(window) &&
        GetClassNameA(window, className, sizeof className) && lstrcmpA(className, "#32770") == 0)
        found->list.push_back(window);
    return TRUE;
}

std::vector<HWND> VisibleDialogs(DWORD processId)
{
    FoundDialogs found;
    found.processId = processId ? processId : GetCurrentProcessId();
    EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&found));
    return found.list;
}

int IsFailurePage(PageKind kind)
{
    return kind == PAGE_OPEN_FAILED || kind == PAGE_COMM_FAILED || kind == PAGE_FAIL_MAINS || kind == PAGE_INVALID_FILE;
}

int GoOnButtonOf(PageKind kind)
{
    return kind == PAGE_WELCOME || kind == PAGE_PORT ? 3 : kind == PAGE_WARNING ? IDCANCEL : IDOK;
}

void Press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void AnswerPage(HWND page, PageKind kind, PageAnswer answer)
{
    if (kind == PAGE_CONNECT && !answer.button)
        PowerOnBox();
    if (kind == PAGE_PORT && answer.portIndex != -1)
        SendDlgItemMessageA(page, IDC_PORT, CB_SETCURSEL, answer.portIndex < 0 ? -1 : answer.portIndex, 0);
    if (answer.button)
        Press(page, answer.button);
}

static void answerPages(PageResponder responder)
{
    std::set<HWND> handled;
    while (answering) {
        for (HWND dialog : VisibleDialogs(0)) {
            if (!handled.insert(dialog).second)
                continue;
            PageKind kind = PageKindOf(dialog);
            PageAnswer answer = responder(kind, dialog);
            {
                std::lock_guard<std::mutex> hold(seenLock);
                seen.push_back(kind);
            }
            AnswerPage(dialog, kind, answer);
        }
        Sleep(20);
    }
}

void StartAnsweringPages(PageResponder responder)
{
    StopAnsweringPages();
    seen.clear();   // the answerer is stopped
    answering = 1;
    answerer = std::thread(answerPages, responder);
}

void StopAnsweringPages(void)
{
    answering = 0;
    if (answerer.joinable())
        answerer.join();
}

std::vector<PageKind> PagesSeen(void)
{
    std::lock_guard<std::mutex> hold(seenLock);
    return seen;
}

// ------------------------------------------------------------- box end

HANDLE OpenBoxEnd(const char *name)
{
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts = { MAXDWORD, 0, 0, 0, 2000 };
    SetCommTimeouts(port, &timeouts);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return port;
}

void WriteBoxEnd(HANDLE port, const Bytes &bytes)
{
    DWORD written = 0;
    WriteFile(port, bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

Bytes ReadBoxEnd(HANDLE port, size_t wanted, DWORD timeoutMs)
{
    Bytes got;
    DWORD start = GetTickCount();
    while (got.size() < wanted && GetTickCount() - start < timeoutMs) {
        uint8_t buffer[256];
        DWORD n = 0;
        DWORD ask = DWORD(wanted - got.size() < sizeof buffer ? wanted - got.size() : sizeof buffer);
        if (ReadFile(port, buffer, ask, &n, nullptr) && n > 0)
            got.insert(got.end(), buffer, buffer + n);
        else
            Sleep(5);
    }
    return got;
}

int PumpUntil(const std::function<bool()> &done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs)
            return 0;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return 1;
}

std::string BoxDirectory(void)
{
    const char *unixPath = getenv("TESSEL_BOX_DIR");
    if (!unixPath)
        return "";
    std::string path = std::string("Z:") + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

static std::string boxFile(const char *name)
{
    return BoxDirectory() + "\\" + name;
}

std::string BoxLog(void)
{
    return ReadTextFile(boxFile("log"));
}

int WaitBoxLog(const std::string &needle, DWORD timeoutMs)
{
    return PumpUntil([&] { return BoxLog().find(needle) != std::string::npos; }, timeoutMs);
}

void StartBox(const std::string &options)
{
    DeleteFileA(boxFile("log").c_str());
    AppendTextFile(boxFile("box.start.tmp"), options);
    MoveFileA(boxFile("box.start.tmp").c_str(), boxFile("box.start").c_str());
    WaitBoxLog("boxsim: ready", 10000);
}

void StopBox(void)
{
    AppendTextFile(boxFile("box.stop"), "");
    PumpUntil([] { return GetFileAttributesA(boxFile("box.stop").c_str()) == INVALID_FILE_ATTRIBUTES; }, 5000);
}

void PowerOnBox(void)
{
    AppendTextFile(boxFile("commands"), "power\n");
}

// Through Win32 and sharing everything: the box simulator may be writing the
// file meanwhile, and under Wine such a read fails now and then (the
// standard streams then throw from inside, whatever they were told). A
// failed read is tried again; one that keeps failing is reported. A file
// that does not exist reads as empty.
std::string ReadTextFile(const std::string &path)
{
    DWORD error = 0;
    for (int attempt = 0; attempt < 10; attempt++) {
        if (attempt)
            Sleep(10);   // before trying again: the writer moves on
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return "";
            continue;
        }
        std::string text;
        char buffer[16384];
        DWORD got = 0;
        BOOL read;
        while ((read = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0)
            text.append(buffer, got);
        error = read ? 0 : GetLastError();
        CloseHandle(file);
        if (read)
            return text;
    }
    fprintf(stderr, "ReadTextFile: %s could not be read (error %lu)\n", path.c_str(), error);
    return "";
}

void AppendTextFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}
