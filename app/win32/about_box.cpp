// The About box: centred over the main window's client area, showing the request count.
#include "app/win32/about_box.h"

#include "app/win32/resource.h"
#include "foundation/wide_format.h"
#include "server/http_thread.h"

POINT CenteredOrigin(int W, int H, int w, int h) {
    POINT origin;
    origin.x = (W - w) / 2;
    origin.y = (H - h) / 2;
    if (origin.x < 0) origin.x = 0;
    if (origin.y < 0) origin.y = 0;
    return origin;
}

namespace {

// Centres the box and writes the count of the moment into IDC_REQUESTS.
void InitAboutBox(HWND hDlg) {
    RECT box;
    if (!GetWindowRect(hDlg, &box)) return;
    RECT owner = {0, 0, 0, 0};
    GetClientRect(GetParent(hDlg), &owner);
    POINT origin = CenteredOrigin(owner.right - owner.left, owner.bottom - owner.top,
                                  box.right - box.left, box.bottom - box.top);
    SetWindowPos(hDlg, nullptr, origin.x, origin.y, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
    wchar_t szCount[12];
    FormatWide(szCount, sizeof(szCount) / sizeof(szCount[0]), L"%d",
               static_cast<int>(g_nRequests.load(std::memory_order_relaxed)));
    SetDlgItemTextW(hDlg, IDC_REQUESTS, szCount);
}

}  // namespace

INT_PTR CALLBACK AboutProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
        case WM_INITDIALOG:
            InitAboutBox(hDlg);
            return TRUE;
        case WM_COMMAND: {
            WORD id = LOWORD(wParam);
            if (id == IDOK || id == IDCANCEL) {
                EndDialog(hDlg, id);
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}
