// winshot rect TIMEOUT_MS | winshot wait TIMEOUT_MS | winshot answer: the Windows half of
// scripts/screenshot.sh.
// rect:   waits for the installer's progress dialog and prints its screen rectangle as an X geometry
//         (WIDTHxHEIGHT+X+Y). Reads only what the window manager keeps, so it answers while the
//         installer itself is stopped.
// wait:   waits until the installer's progress dialog and its closing message box are both on the
//         screen, moves the box off the dialog when they overlap, and prints the dialog's screen
//         rectangle as an X geometry (WIDTHxHEIGHT+X+Y) for cropping. Exit code 1 on time-out.
// answer: answers the closing message box with OK.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

namespace
{
const wchar_t kDialogCaption[] = L"Norvatek Pellimar Installer";
const wchar_t kBoxCaption[] = L"Pellimar Installer";

HWND FindBox()
{
    return FindWindowW(L"#32770", kBoxCaption);
}

void PrintGeometry(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
}

int Rect(DWORD timeoutMs)
{
    HWND dialog = nullptr;
    for (DWORD waited = 0; waited < timeoutMs && dialog == nullptr; waited += 100)
    {
        dialog = FindWindowW(nullptr, kDialogCaption);
        if (dialog == nullptr)
            Sleep(100);
    }
    if (dialog == nullptr)
        return 1;
    PrintGeometry(dialog);
    return 0;
}

int Wait(DWORD timeoutMs)
{
    HWND dialog = nullptr;
    HWND box = nullptr;
    for (DWORD waited = 0; waited < timeoutMs && (dialog == nullptr || box == nullptr); waited += 100)
    {
        Sleep(100);
        dialog = FindWindowW(nullptr, kDialogCaption);
        box = FindBox();
    }
    if (dialog == nullptr || box == nullptr)
        return 1;
    RECT d, b, overlap;
    GetWindowRect(dialog, &d);
    GetWindowRect(box, &b);
    if (IntersectRect(&overlap, &d, &b))
    {
        // Below the dialog, or beside it when the screen has no room below.
        int x = d.left;
        int y = d.bottom + 16;
        if (y + (b.bottom - b.top) > GetSystemMetrics(SM_CYSCREEN))
        {
            x = d.right + 16;
            y = d.top;
        }
        SetWindowPos(box, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // The box's modal loop repaints whatever the move uncovered.
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    Sleep(1000);
    PrintGeometry(dialog);
    return 0;
}

int Answer()
{
    HWND box = FindBox();
    if (box == nullptr)
        return 1;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && lstrcmpiW(argv[1], L"rect") == 0)
        return Rect(argc >= 3 ? wcstoul(argv[2], nullptr, 10) : 60000);
    if (argc >= 2 && lstrcmpiW(argv[1], L"wait") == 0)
        return Wait(argc >= 3 ? wcstoul(argv[2], nullptr, 10) : 60000);
    if (argc >= 2 && lstrcmpiW(argv[1], L"answer") == 0)
        return Answer();
    fprintf(stderr, "usage: winshot rect TIMEOUT_MS | winshot wait TIMEOUT_MS | winshot answer\n");
    return 2;
}
