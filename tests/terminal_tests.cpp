// The character page on a real, hidden window: scroll ranges and offsets
// across resizes and scroll codes, the cells an update rectangle repaints,
// the caret and keyboard bytes that go to the port only while connected.
// Cells are fixed at 8 x 12, so the page is 960 x 480 pixels.
#include "serial/serial.h"
#include "terminal/screen.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const int CW = 8, CH = 12, PAGE_W = SCREEN_COLS * CW, PAGE_H = SCREEN_ROWS * CH;

// Showing or hiding a bar sends a nested WM_SIZE with the real client size,
// which would overwrite the sizes a test hands to ScreenResize itself.
bool followSize = true;

LRESULT CALLBACK PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return CreateTtyState(window) == 1 ? 0 : -1;
    case WM_DESTROY: DestroyTtyState(window); return 0;
    case WM_SIZE:
        if (followSize)
            ScreenResize(window, HIWORD(lParam), LOWORD(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class Terminal : public ::testing::Test {
protected:
    HWND window = nullptr;
    TtyState *tty = nullptr;
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;

    void SetUp() override
    {
        static ATOM atom = [] {
            WNDCLASSA c = {};
            c.lpfnWndProc = PageProc;
            c.cbWndExtra = sizeof(LONG_PTR);
            c.hInstance = GetModuleHandleA(nullptr);
            c.lpszClassName = "TerminalTestPage";
            return RegisterClassA(&c);
        }();
        ASSERT_NE(0, atom);
        followSize = true;
        window = CreateWindowExA(0, "TerminalTestPage", "", WS_OVERLAPPEDWINDOW, 0, 0, 550, 350,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(nullptr, window);
        tty = GetTtyState(window);
        ASSERT_NE(nullptr, tty);
        tty->charWidth = CW;
        tty->charHeight = CH;
        followSize = false;
        ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
        tty->portHandle = pipeWrite;
    }

    void TearDown() override
    {
        if (tty)
            tty->connected = 0;
        if (window)
            DestroyWindow(window);
        if (pipeRead)
            CloseHandle(pipeRead);
        if (pipeWrite)
            CloseHandle(pipeWrite);
    }

    std::string Written()
    {
        DWORD available = 0;
        EXPECT_TRUE(PeekNamedPipe(pipeRead, nullptr, 0, nullptr, &available, nullptr));
        std::string bytes(available, '\0');
        DWORD got = 0;
        if (available && !ReadFile(pipeRead, &bytes[0], available, &got, nullptr))
            ADD_FAILURE() << "pipe read failed";
        return bytes;
    }

    // Fields and the window's bars must agree, and the invariants must hold.
    void ExpectAxes(int yMax, int yOffset, int xMax, int xOffset)
    {
        ExpectBar(SB_VERT, PAGE_H, tty->clientHeight, tty->yScrollMax, tty->yOffset, yMax, yOffset);
        ExpectBar(SB_HORZ, PAGE_W, tty->clientWidth, tty->xScrollMax, tty->xOffset, xMax, xOffset);
    }
    void ExpectBar(int bar, int page, int client, int maximum, int offset, int wantMax, int wantOffset)
    {
        SCOPED_TRACE(bar == SB_VERT ? "vertical" : "horizontal");
        EXPECT_EQ(wantMax, maximum);
        EXPECT_EQ(wantOffset, offset);
        EXPECT_EQ(page > client ? page - client : 0, maximum);
        int low = -1, high = -1;
        GetScrollRange(window, bar, &low, &high);
        EXPECT_EQ(0, low);
        EXPECT_EQ(wantMax, high);
        EXPECT_EQ(wantOffset, GetScrollPos(window, bar));
    }

    HWND CaretWindow()
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        EXPECT_TRUE(GetGUIThreadInfo(GetCurrentThreadId(), &info));
        return info.hwndCaret;
    }
};

TEST_F(Terminal, ResizeSetsMaximaAndBars)
{
    struct Row { const char *name; uint16_t height, width; int yMax, xMax; };
    const Row rows[] = {
        { "smaller", 300, 400, PAGE_H - 300, PAGE_W - 400 },
        { "one pixel short", PAGE_H - 1, PAGE_W - 1, 1, 1 },
        { "exactly the page", PAGE_H, PAGE_W, 0, 0 },
        { "larger", 1000, 1500, 0, 0 },
        { "taller only", 1000, 400, 0, PAGE_W - 400 },
        { "minimised", 0, 0, PAGE_H, PAGE_W },
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(1, ScreenResize(window, r.height, r.width));
        EXPECT_EQ(r.height, tty->clientHeight);
        EXPECT_EQ(r.width, tty->clientWidth);
        ExpectAxes(r.yMax, 0, r.xMax, 0);
    }
}

TEST_F(Terminal, ResizeOnlyLowersOffsets)
{
    ScreenResize(window, 300, 400);
    ScreenScrollVertical(window, SB_BOTTOM, 0);
    ScreenScrollHorizontal(window, SB_RIGHT, 0);
    ExpectAxes(180, 180, 560, 560);

    ScreenResize(window, 400, 500);   // shrinks both maxima below the offsets
    ExpectAxes(80, 80, 460, 460);
    ScreenResize(window, 200, 300);   // grows the maxima; offsets stay
    ExpectAxes(280, 80, 660, 460);
    ScreenResize(window, 0, 0);       // minimise: full page, offsets kept
    ExpectAxes(PAGE_H, 80, PAGE_W, 460);
    ScreenResize(window, 200, 300);   // restore
    ExpectAxes(280, 80, 660, 460);
    ScreenResize(window, PAGE_H, PAGE_W + 40);
    ExpectAxes(0, 0, 0, 0);
}

// Through real WM_SIZE messages, nested ones included, the fields and the
// bars still end in step with each other.
TEST_F(Terminal, WindowResizeKeepsBarsInStep)
{
    followSize = true;
    const SIZE outer[] = { { 700, 300 }, { 1200, 700 }, { 990, 300 }, { 550, 530 }, { 400, 250 } };
    for (const SIZE &o : outer) {
        SCOPED_TRACE(std::to_string(o.cx) + " x " + std::to_string(o.cy));
        SetWindowPos(window, nullptr, 0, 0, o.cx, o.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        ExpectAxes(tty->yScrollMax, 0, tty->xScrollMax, 0);
    }
}

// Client 100 x 300: vertical max 380 (cell 12), horizontal max 660 (cell 8).
TEST_F(Terminal, ScrollCodes)
{
    struct Row { const char *name; bool vertical; uint16_t code, position; int start, result, end; };
    const Row rows[] = {
        { "line up at 0", true, SB_LINEUP, 0, 0, 1, 0 },
        { "line up below a cell", true, SB_LINEUP, 0, 5, 1, 0 },
        { "line down", true, SB_LINEDOWN, 0, 0, 1, 12 },
        { "line down near max", true, SB_LINEDOWN, 0, 375, 1, 380 },
        { "page down off-cell", true, SB_PAGEDOWN, 0, 0, 1, 100 },
        { "page down clamps", true, SB_PAGEDOWN, 0, 300, 1, 380 },
        { "page down at max", true, SB_PAGEDOWN, 0, 380, 1, 380 },
        { "page up", true, SB_PAGEUP, 0, 250, 1, 150 },
        { "page up clamps", true, SB_PAGEUP, 0, 50, 1, 0 },
        { "thumb position", true, SB_THUMBPOSITION, 77, 10, 1, 77 },
        { "thumb position past max", true, SB_THUMBPOSITION, 500, 10, 1, 380 },
        { "thumb track ignored", true, SB_THUMBTRACK, 77, 10, 0, 10 },
        { "top", true, SB_TOP, 0, 200, 1, 0 },
        { "bottom", true, SB_BOTTOM, 0, 5, 1, 380 },
        { "end scroll ignored", true, SB_ENDSCROLL, 0, 10, 0, 10 },
        { "code 0xFFFF ignored", true, 0xFFFF, 50, 10, 0, 10 },
        { "line left", false, SB_LINELEFT, 0, 20, 1, 12 },
        { "line left at 0", false, SB_LINELEFT, 0, 0, 1, 0 },
        { "line right near max", false, SB_LINERIGHT, 0, 655, 1, 660 },
        { "page right off-cell", false, SB_PAGERIGHT, 0, 1, 1, 301 },
        { "page right at max", false, SB_PAGERIGHT, 0, 660, 1, 660 },
        { "page left clamps", false, SB_PAGELEFT, 0, 299, 1, 0 },
        { "thumb position", false, SB_THUMBPOSITION, 333, 0, 1, 333 },
        { "thumb track ignored", false, SB_THUMBTRACK, 333, 40, 0, 40 },
        { "right", false, SB_RIGHT, 0, 0, 1, 660 },
        { "end scroll ignored", false, SB_ENDSCROLL, 0, 40, 0, 40 },
    };
    ScreenResize(window, 100, 300);
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.vertical ? "vertical " : "horizontal ") + r.name);
        const int other = 7;   // the other axis must not move
        tty->yOffset = r.vertical ? r.start : other;
        tty->xOffset = r.vertical ? other : r.start;
        SetScrollPos(window, SB_VERT, tty->yOffset, FALSE);
        SetScrollPos(window, SB_HORZ, tty->xOffset, FALSE);
        int result = r.vertical ? ScreenScrollVertical(window, r.code, r.position)
                                : ScreenScrollHorizontal(window, r.code, r.position);
        EXPECT_EQ(r.result, result);
        if (r.vertical)
            ExpectAxes(380, r.end, 660, other);
        else
            ExpectAxes(380, other, 660, r.end);
    }
}

TEST_F(Terminal, CellsToPaint)
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
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        tty->yOffset = r.yOffset;
        tty->xOffset = r.xOffset;
        CellSpan s = ScreenCellsToPaint(tty, &r.update);
        EXPECT_EQ(r.cells.firstRow, s.firstRow);
        EXPECT_EQ(r.cells.lastRow, s.lastRow);
        EXPECT_EQ(r.cells.firstColumn, s.firstColumn);
        EXPECT_EQ(r.cells.lastColumn, s.lastColumn);
    }
}

TEST_F(Terminal, KeysReachThePortOnlyWhileConnected)
{
    EXPECT_EQ(0, ScreenKeyChar(window, 'a'));
    EXPECT_EQ(0, ScreenKeyChar(window, '\r'));
    EXPECT_EQ("", Written());

    tty->connected = 1;
    const uint8_t keys[] = { 'a', 13, 8, 0, 0x1B, 0xFF };
    for (uint8_t key : keys) {
        SCOPED_TRACE(int(key));
        EXPECT_EQ(1, ScreenKeyChar(window, key));
        EXPECT_EQ(std::string(1, char(key)), Written());
    }
    // No local echo: the page stays blank.
    EXPECT_EQ(std::string(SCREEN_ROWS * SCREEN_COLS, ' '), std::string(tty->screen, sizeof tty->screen));
}

TEST_F(Terminal, CaretOnlyWhileConnected)
{
    EXPECT_EQ(1, ScreenGainFocus(window));
    EXPECT_EQ(0, tty->caretState);
    EXPECT_EQ(nullptr, CaretWindow());

    tty->connected = 1;
    tty->xOffset = 16;
    tty->yOffset = 24;
    EXPECT_EQ(1, ScreenGainFocus(window));
    EXPECT_EQ(1, tty->caretState);
    EXPECT_EQ(window, CaretWindow());
    POINT at = {};
    GetCaretPos(&at);
    EXPECT_EQ(-16, at.x);   // the top-left cell, moved by the offsets
    EXPECT_EQ(-24, at.y);

    // Losing focus while not connected leaves the caret alone.
    tty->connected = 0;
    EXPECT_EQ(1, ScreenLoseFocus(window));
    EXPECT_EQ(1, tty->caretState);
    EXPECT_EQ(window, CaretWindow());

    tty->connected = 1;
    EXPECT_EQ(1, ScreenLoseFocus(window));
    EXPECT_EQ(0, tty->caretState);
    EXPECT_EQ(nullptr, CaretWindow());
}

TEST_F(Terminal, NoRecordMeansNothingHappens)
{
    EXPECT_EQ(0, ScreenResize(nullptr, 10, 10));
    EXPECT_EQ(0, ScreenScrollVertical(nullptr, SB_LINEDOWN, 0));
    EXPECT_EQ(0, ScreenScrollHorizontal(nullptr, SB_LINERIGHT, 0));
    EXPECT_EQ(0, ScreenGainFocus(nullptr));
    EXPECT_EQ(0, ScreenLoseFocus(nullptr));
    EXPECT_EQ(0, ScreenPlaceCaret(nullptr));
    EXPECT_EQ(0, ScreenKeyChar(nullptr, 'a'));
}

} // namespace
