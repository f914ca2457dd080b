// Newer-copy stand-in: exits with the hexadecimal code of its last argument "EXIT=<hex>" (0 without one).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    DWORD code = 0;
    const wchar_t* exit = nullptr;
    for (const wchar_t* p = commandLine; *p != L'\0'; ++p)
        if (p[0] == L'E' && p[1] == L'X' && p[2] == L'I' && p[3] == L'T' && p[4] == L'=')
            exit = p + 5;
    for (; exit != nullptr && *exit != L'\0' && *exit != L' '; ++exit)
    {
        wchar_t c = *exit;
        DWORD digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : 0;
        code = code * 16 + digit;
    }
    return static_cast<int>(code);
}
