// cmdlinedump: writes its own command line, exactly as GetCommandLineW returns it (UTF-16, no
// terminator), into the file that the environment variable TOVRAND_TEST_CMDLINE_FILE names. Stands in
// for the installer where a test must see how a program was started without it doing anything else.
#include <windows.h>

int wmain()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TOVRAND_TEST_CMDLINE_FILE", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    const wchar_t* line = GetCommandLineW();
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD done = 0;
    BOOL ok = WriteFile(file, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)), &done, nullptr);
    CloseHandle(file);
    return ok ? 0 : 1;
}
