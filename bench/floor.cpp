// The floor of the benchmark: a Windows GUI program that does nothing. Starting it costs what starting
// any program costs on the bench machine (process creation, loader, C runtime start-up, and under Wine
// the whole Wine process start), so the installer's times are read as multiples of it.
// With the argument "user32" it also loads user32.dll, the first thing any real GUI program does (under
// Wine that starts the graphics driver): a reference row, not the floor. With "linger" it stays 300 ms
// after its start-up, so that its peak working set can be read before it ends (Wine reads it from the
// live process only).
// Built a second time as a console program (BENCH_CONSOLE_FLOOR): the floor of the state check, which is
// one.
#include <windows.h>

#ifdef BENCH_CONSOLE_FLOOR
int wmain()
{
    return 0;
}
#else
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    if (commandLine != nullptr && lstrcmpiW(commandLine, L"user32") == 0)
        LoadLibraryW(L"user32.dll");
    if (commandLine != nullptr && lstrcmpiW(commandLine, L"linger") == 0)
        Sleep(300);
    return 0;
}
#endif
