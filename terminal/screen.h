// The main window's character page: font metrics, painting, scrolling,
// caret and keyboard-to-port input. Everything here runs on the
// user-interface thread.
#ifndef TESSEL_SCREEN_H
#define TESSEL_SCREEN_H

#include <windows.h>
#include <cstdint>

struct TtyState;

int ScreenSetFont(HWND window, TtyState *tty);
int ScreenPaint(HWND window);
int ScreenResize(HWND window, uint16_t height, uint16_t width);
int ScreenScrollVertical(HWND window, uint16_t code, uint16_t position);
int ScreenScrollHorizontal(HWND window, uint16_t code, uint16_t position);
int ScreenGainFocus(HWND window);
int ScreenLoseFocus(HWND window);
int ScreenPlaceCaret(HWND window);
int ScreenKeyChar(HWND window, uint8_t character);

// The cells that an update rectangle meets, clamped to the page.
struct CellSpan {
    int firstRow, lastRow, firstColumn, lastColumn;
};
CellSpan ScreenCellsToPaint(const TtyState *tty, const RECT *update);

#endif
