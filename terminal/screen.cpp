// The terminal page: a 40 x 120 grid of fixed-pitch cells drawn from
// TtyState's screen, scrolled by pixels in both directions when the window is
// smaller than the page, with a block caret on the cursor cell while the port
// is open. Typed characters go straight to the port without a local echo.
#include "terminal/screen.h"
#include "serial/serial.h"

static int maxOf(int a, int b) { return a > b ? a : b; }
static int minOf(int a, int b) { return a < b ? a : b; }

int ScreenSetFont(HWND window, TtyState *tty)
{
    if (!tty)
        return 0;
    if (tty->font)
        DeleteObject(tty->font);
    tty->font = CreateFontIndirectA(&tty->logFont);

    HDC dc = GetDC(window);
    HGDIOBJ previous = tty->font ? SelectObject(dc, tty->font) : nullptr;
    TEXTMETRICA metrics = {};
    GetTextMetricsA(dc, &metrics);
    if (previous)
        SelectObject(dc, previous);
    ReleaseDC(window, dc);
    // A zero cell would divide by zero in painting; one pixel is the least.
    tty->charWidth = maxOf(1, metrics.tmAveCharWidth);
    tty->charHeight = maxOf(1, metrics.tmHeight + metrics.tmExternalLeading);

    RECT outer;
    GetWindowRect(window, &outer);
    LPARAM size = ((outer.right - outer.left) & 0xFFFF) | (((outer.bottom - outer.top) & 0xFFFF) << 16);
    SendMessageA(window, WM_SIZE, 0, size);
    return 1;
}

CellSpan ScreenCellsToPaint(const TtyState *tty, const RECT *update)
{
    CellSpan span;
    span.firstRow = minOf(SCREEN_ROWS - 1, maxOf(0, (update->top + tty->yOffset) / tty->charHeight));
    span.lastRow = minOf(SCREEN_ROWS - 1, (update->bottom + tty->yOffset - 1) / tty->charHeight);
    span.firstColumn = minOf(SCREEN_COLS - 1, maxOf(0, (update->left + tty->xOffset) / tty->charWidth));
    span.lastColumn = minOf(SCREEN_COLS - 1, (update->right + tty->xOffset - 1) / tty->charWidth);
    return span;
}

int ScreenPaint(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    HGDIOBJ previous = SelectObject(dc, tty->font);
    SetTextColor(dc, tty->textColor);
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));

    CellSpan span = ScreenCellsToPaint(tty, &paint.rcPaint);
    int count = span.lastColumn - span.firstColumn + 1;
    for (int row = span.firstRow; count > 0 && row <= span.lastRow; row++) {
        int y = row * tty->charHeight - tty->yOffset;
        int x = span.firstColumn * tty->charWidth - tty->xOffset;
        RECT cells = { x, y, x + count * tty->charWidth, y + tty->charHeight };
        SetBkMode(dc, OPAQUE);
        ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &cells,
                    tty->screen + row * SCREEN_COLS + span.firstColumn, UINT(count), nullptr);
    }
    SelectObject(dc, previous);
    EndPaint(window, &paint);
    ScreenPlaceCaret(window);
    return 1;
}

// Lowers an offset that a larger window no longer allows and sets the bar.
static void fitAxis(HWND window, int bar, int pageSize, int clientSize, int32_t *maximum, int32_t *offset)
{
    *maximum = maxOf(0, pageSize - clientSize);
    int d = *offset > *maximum ? *maximum - *offset : 0;
    if (bar == SB_VERT)
        ScrollWindow(window, 0, -d, nullptr, nullptr);
    else
        ScrollWindow(window, -d, 0, nullptr, nullptr);
    *offset += d;
    SetScrollPos(window, bar, *offset, FALSE);
    SetScrollRange(window, bar, 0, *maximum, TRUE);
}

// Showing or hiding the vertical bar changes the client width and resizes
// the window again from inside the first fit: that inner resize has fitted
// both axes to the newer size, and the outer one must not undo it.
int ScreenResize(HWND window, uint16_t height, uint16_t width)
{
    static int resizes;   // user-interface thread only
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    int resize = ++resizes;
    tty->clientHeight = height;
    fitAxis(window, SB_VERT, SCREEN_ROWS * tty->charHeight, tty->clientHeight, &tty->yScrollMax, &tty->yOffset);
    if (resize != resizes) {
        InvalidateRect(window, nullptr, TRUE);
        return 1;
    }
    tty->clientWidth = width;
    fitAxis(window, SB_HORZ, SCREEN_COLS * tty->charWidth, tty->clientWidth, &tty->xScrollMax, &tty->xOffset);
    InvalidateRect(window, nullptr, TRUE);
    return 1;
}

// One scroll step along an axis; 0 for a code that is not handled.
static int scrollAxis(HWND window, int bar, uint16_t code, uint16_t position,
                      int cell, int client, int32_t maximum, int32_t *offset)
{
    int d;
    switch (code) {
    case SB_LINEUP: d = -cell; break;
    case SB_LINEDOWN: d = cell; break;
    case SB_PAGEUP: d = -client; break;
    case SB_PAGEDOWN: d = client; break;
    case SB_THUMBPOSITION: d = position - *offset; break;
    case SB_TOP: d = -*offset; break;
    case SB_BOTTOM: d = maximum - *offset; break;
    default: return 0;
    }
    if (*offset + d > maximum)
        d = maximum - *offset;
    if (*offset + d < 0)
        d = -*offset;
    if (bar == SB_VERT)
        ScrollWindow(window, 0, -d, nullptr, nullptr);
    else
        ScrollWindow(window, -d, 0, nullptr, nullptr);
    *offset += d;
    SetScrollPos(window, bar, *offset, TRUE);
    return 1;
}

int ScreenScrollVertical(HWND window, uint16_t code, uint16_t position)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    return scrollAxis(window, SB_VERT, code, position, tty->charHeight, tty->clientHeight, tty->yScrollMax, &tty->yOffset);
}

int ScreenScrollHorizontal(HWND window, uint16_t code, uint16_t position)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    return scrollAxis(window, SB_HORZ, code, position, tty->charWidth, tty->clientWidth, tty->xScrollMax, &tty->xOffset);
}

int ScreenGainFocus(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    if (tty->connected && tty->caretState != 1) {
        CreateCaret(window, nullptr, tty->charWidth, tty->charHeight);
        ShowCaret(window);
        tty->caretState = 1;
    }
    ScreenPlaceCaret(window);
    return 1;
}

int ScreenLoseFocus(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    if (tty->connected && tty->caretState != 0) {
        HideCaret(window);
        DestroyCaret();
        tty->caretState = 0;
    }
    return 1;
}

int ScreenPlaceCaret(HWND window)
{
    TtyState *tty = GetTtyState(window);
    if (!tty)
        return 0;
    if (tty->connected && (tty->caretState & 1))
        SetCaretPos(tty->cursorColumn * tty->charWidth - tty->xOffset, tty->cursorRow * tty->charHeight - tty->yOffset);
    return 1;
}

int ScreenKeyChar(HWND window, uint8_t character)
{
    TtyState *tty = GetTtyState(window);
    if (!tty || !tty->connected)
        return 0;
    WritePort(window, &character, 1);
    return 1;
}
