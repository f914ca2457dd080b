#include "control/sequencer.h"

#include "base/log.h"

const wchar_t kMainWindowClass[] = L"PELLIMAR_INST_CLASS";

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE:
        PostMessageW(window, WM_CLOSE, 0, 0);
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
