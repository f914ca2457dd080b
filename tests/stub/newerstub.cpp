// Newer-copy stand-in: records the command line it was given in %TEMP%\newerstub.txt and exits with
// the hexadecimal code of its last argument "EXIT=<hex>" (0 without one).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH - 20, path);
    if (n > 0)
    {
        lstrcatW(path, L"newerstub.txt");
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            const wchar_t* full = GetCommandLineW();
            DWORD done = 0;
            WriteFile(file, full, lstrlenW(full) * sizeof(wchar_t), &done, nullptr);
            CloseHandle(file);
        }
    }
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
