// The character page on a real, hidden window: scroll ranges and offsets,
// the cells an update rectangle repaints, and the caret and keys that reach
// the port only while connected. Cells are 8 x 12: the page is 960 x 480.
// The port is a pipe here; received bytes never arrive.
#include "serial/serial.h"
#include "terminal/screen.h"
#include "upload/upload.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <tuple>

int ClosePort(HWND) { return 1; }
int ProcessReceived(HWND, const uint8_t *, DWORD) { return 1; }

namespace {

const int CW = 8, CH = 12, PAGE_W = SCREEN_COLS * CW, PAGE_H = SCREEN_ROWS * CH;
bool followSizes;

// WM_SIZE is passed on only when a test asks: a bar shown or hidden sends the
// real client size, which would overwrite the sizes a test hands ScreenResize.
LRESULT CALLBACK pageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE)
        return CreateTtyState(window) == 1 ? 0 : -1;
    if (message == WM_DESTROY)
        DestroyTtyState(window);
    if (message == WM_SIZE && followSizes)
        ScreenResize(window, HIWORD(lParam), LOWORD(lParam));
    return DefWindowProcA(window, message, wParam, lParam);
}

class Terminal : public ::testing::Test {
protected:
    HWND window = nullptr;
    TtyState *tty = nullptr;
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;

    void SetUp() override
    {
        static const WNDCLASSA page = { 0, pageProc, 0, sizeof(LONG_PTR), GetModuleHandleA(nullptr),
                                        nullptr, nullptr, nullptr, nullptr, "TerminalTestPage" };
        static const ATOM atom = RegisterClassA(&page);
        ASSERT_NE(0, atom);
        window = CreateWindowExA(0, "TerminalTestPage", "", WS_OVERLAPPEDWINDOW, 0, 0, 550, 350,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(nullptr, tty = GetTtyState(window));
        tty->charWidth = CW;
        tty->charHeight = CH;
        ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
        tty->portHandle = pipeWrite;
    }

    void TearDown() override
    {
        followSizes = false;
        DestroyWindow(window);
        CloseHandle(pipeRead);
        CloseHandle(pipeWrite);
    }
    std::string Written()   // the bytes sent to the port since the last call
    {
        char bytes[64];
        DWORD available = 0, got = 0;
        bool some = PeekNamedPipe(pipeRead, nullptr, 0, nullptr, &available, nullptr) && available;
        return some && ReadFile(pipeRead, bytes, sizeof bytes, &got, nullptr) ? std::string(bytes, got) : "";
    }
    void ScrollTo(int yOffset, int xOffset)   // the record and the bars, without painting
    {
        SetScrollPos(window, SB_VERT, tty->yOffset = yOffset, FALSE);
        SetScrollPos(window, SB_HORZ, tty->xOffset = xOffset, FALSE);
    }
    // The record's maxima and offsets and the window's bars all agree with these.
    void ExpectAxes(int yMax, int yOffset, int xMax, int xOffset)
    {
        for (int bar : { SB_VERT, SB_HORZ }) {
            bool v = bar == SB_VERT;
            int low = -1, high = -1, max = v ? yMax : xMax, offset = v ? yOffset : xOffset;
            GetScrollRange(window, bar, &low, &high);
            EXPECT_EQ(std::make_tuple(max, offset, 0, max, offset),
                      std::make_tuple(v ? tty->yScrollMax : tty->xScrollMax, v ? tty->yOffset : tty->xOffset, low, high,
                                      GetScrollPos(window, bar)))
                << (v ? "vertical" : "horizontal") << " (maximum, offset, bar minimum, bar maximum, bar position)";
        }
    }
};

// Each row starts from a 100 x 300 client (maxima 380 and 660) at the given offsets.
TEST_F(Terminal, ResizeSetsMaximaAndOnlyLowersOffsets)
{
    struct Row { const char *name; uint16_t height, width; int yFrom, xFrom, yMax, yOffset, xMax, xOffset; };
    const Row rows[] = {
        { "smaller", 300, 400, 0, 0, 180, 0, 560, 0 },
        { "one pixel short", PAGE_H - 1, PAGE_W - 1, 5, 5, 1, 1, 1, 1 },
        { "exactly the page", PAGE_H, PAGE_W, 80, 460, 0, 0, 0, 0 },
        { "larger", 1000, 1500, 380, 660, 0, 0, 0, 0 },
        { "taller only", 1000, 400, 80, 460, 0, 0, 560, 460 },
        { "maxima fall below the offsets", 400, 500, 380, 660, 80, 80, 460, 460 },
        { "maxima rise above the offsets", 200, 300, 80, 460, 280, 80, 660, 460 },
        { "minimised keeps the offsets", 0, 0, 80, 460, PAGE_H, 80, PAGE_W, 460 },
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        ScreenResize(window, 100, 300);
        ScrollTo(r.yFrom, r.xFrom);
        ScreenResize(window, r.height, r.width);
        ExpectAxes(r.yMax, r.yOffset, r.xMax, r.xOffset);
    }
}

// Client 100 x 300: vertical max 380 (cell 12), horizontal max 660 (cell 8).
// Each code runs on each axis in turn; the other axis sits at 7 and must stay.
TEST_F(Terminal, ScrollCodesMoveOneAxisWithinItsRange)
{
    struct Row { const char *name; uint16_t code, position; int yFrom, yTo, xFrom, xTo; };
    const Row rows[] = {
        { "line up/left", SB_LINEUP, 0, 20, 8, 20, 12 },
        { "line up/left clamps at 0", SB_LINEUP, 0, 5, 0, 3, 0 },
        { "line down/right", SB_LINEDOWN, 0, 0, 12, 0, 8 },
        { "line down/right clamps at max", SB_LINEDOWN, 0, 375, 380, 655, 660 },
        { "page down/right off-cell", SB_PAGEDOWN, 0, 0, 100, 1, 301 },
        { "page down/right at max", SB_PAGEDOWN, 0, 380, 380, 660, 660 },
        { "page up/left", SB_PAGEUP, 0, 250, 150, 350, 50 },
        { "page up/left clamps at 0", SB_PAGEUP, 0, 50, 0, 299, 0 },
        { "thumb position", SB_THUMBPOSITION, 77, 10, 77, 0, 77 },
        { "thumb track ignored", SB_THUMBTRACK, 77, 10, 10, 40, 40 },
        { "top/left", SB_TOP, 0, 200, 0, 100, 0 },
        { "bottom/right", SB_BOTTOM, 0, 5, 380, 0, 660 },
        { "end scroll ignored", SB_ENDSCROLL, 0, 10, 10, 40, 40 },
    };
    ScreenResize(window, 100, 300);
    for (const Row &r : rows)
        for (bool vertical : { true, false }) {
            SCOPED_TRACE(std::string(vertical ? "vertical " : "horizontal ") + r.name);
            ScrollTo(vertical ? r.yFrom : 7, vertical ? 7 : r.xFrom);
            vertical ? ScreenScrollVertical(window, r.code, r.position)
                     : ScreenScrollHorizontal(window, r.code, r.position);
            ExpectAxes(380, vertical ? r.yTo : 7, 660, vertical ? 7 : r.xTo);
        }
}

TEST_F(Terminal, UpdateRectanglePaintsTheCellsItMeets)
{
    struct Row { const char *name; int yOffset, xOffset; RECT update; CellSpan cells; };
    const Row rows[] = {
        { "whole page", 0, 0, { 0, 0, PAGE_W, PAGE_H }, { 0, 39, 0, 119 } },
        { "one cell exactly", 0, 0, { 8, 12, 16, 24 }, { 1, 1, 1, 1 } },
        { "one pixel into the next cell", 0, 0, { 8, 12, 17, 25 }, { 1, 2, 1, 2 } },
        { "last pixel of a cell", 0, 0, { 15, 23, 16, 24 }, { 1, 1, 1, 1 } },
        { "offsets cross a border", 5, 3, { 5, 7, 6, 8 }, { 1, 1, 1, 1 } },
        { "offsets stay inside a cell", 5, 3, { 4, 6, 5, 7 }, { 0, 0, 0, 0 } },
        { "margin beyond the page", 0, 0, { 900, 450, 1500, 1000 }, { 37, 39, 112, 119 } },
        { "only the margin", 0, 0, { 1000, 500, 1100, 600 }, { 39, 39, 119, 119 } },
        { "scrolled to the bottom right", 380, 660, { 0, 0, 300, 100 }, { 31, 39, 82, 119 } },
    };
    auto rowsThenColumns = [](CellSpan s) { return std::make_tuple(s.firstRow, s.lastRow, s.firstColumn, s.lastColumn); };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        tty->yOffset = r.yOffset;
        tty->xOffset = r.xOffset;
        EXPECT_EQ(rowsThenColumns(r.cells), rowsThenColumns(ScreenCellsToPaint(tty, &r.update)));
    }
}

// The caret is the cursor's cell (column 3, row 5) less the offsets; it and
// the keys follow the connection. A key goes out as it is, never echoed.
TEST_F(Terminal, CaretAndKeysFollowTheConnection)
{
    struct Row { const char *name; bool connected, gain, caret; char key; };
    const Row rows[] = {
        { "focus while closed", false, true, false, 'a' },
        { "focus while open", true, true, true, '\r' },
        { "blur while closed keeps it", false, false, true, '\b' },
        { "blur while open", true, false, false, '\b' },
        { "focus again while open", true, true, true, char(0xFF) },
        { "blur again while open", true, false, false, 0 },
    };
    tty->cursorColumn = 3, tty->cursorRow = 5, tty->xOffset = 16, tty->yOffset = 24;
    const auto cell = std::make_tuple(3 * CW - 16, 5 * CH - 24, 4 * CW - 16, 6 * CH - 24);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        tty->connected = r.connected;
        r.gain ? ScreenGainFocus(window) : ScreenLoseFocus(window);
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        GetGUIThreadInfo(GetCurrentThreadId(), &info);
        const RECT &c = info.rcCaret;
        EXPECT_EQ(r.caret ? window : nullptr, info.hwndCaret);
        EXPECT_EQ(r.caret ? cell : std::make_tuple(0, 0, 0, 0), std::make_tuple(c.left, c.top, c.right, c.bottom));
        EXPECT_EQ(int(r.connected), ScreenKeyChar(window, uint8_t(r.key)));
        EXPECT_EQ(r.connected ? std::string(1, r.key) : "", Written());
    }
}

// A bar that comes or goes in a resize changes the client area once more:
// the ranges fit the area the window ends with.
TEST_F(Terminal, RangesFitTheFinalClientAreaWhenBarsComeAndGo)
{
    followSizes = true;
    const int sizes[][2] = { { 550, 530 }, { 400, 250 }, { 1100, 700 }, { 300, 600 }, { 980, 300 }, { 550, 350 } };
    for (auto size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + " x " + std::to_string(size[1]));
        SetWindowPos(window, nullptr, 0, 0, size[0], size[1], SWP_NOMOVE | SWP_NOZORDER);
        RECT client;
        GetClientRect(window, &client);
        EXPECT_EQ(std::make_tuple(std::max(0, PAGE_W - int(client.right)), std::max(0, PAGE_H - int(client.bottom))),
                  std::make_tuple(tty->xScrollMax, tty->yScrollMax));
    }
}

} // namespace
