// The About box: version line and the number of requests read so far.
#pragma once

#include "foundation/platform_types.h"

// Where a box of w x h goes to sit in the middle of an owner's client area of W x H,
// counted from the screen's corner; never left of or above it.
POINT CenteredOrigin(int W, int H, int w, int h);

// Dialog procedure of IDD_ABOUTBOX.
INT_PTR CALLBACK AboutProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
