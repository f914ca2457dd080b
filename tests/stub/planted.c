/* A DLL planted under a system DLL's name (version.dll, comctl32.dll) in the folder a program is started
   from. Whoever loads it leaves a line in the marker file named by TOVRAND_PLANTED_MARKER: the path it
   was loaded from. It exports nothing, as a careless plant would; a real attacker's would forward. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t marker[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TOVRAND_PLANTED_MARKER", marker, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return TRUE;
    char line[MAX_PATH + 2];
    DWORD length = GetModuleFileNameA(instance, line, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        length = 0;
    line[length++] = '\r';
    line[length++] = '\n';
    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        WriteFile(file, line, length, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
