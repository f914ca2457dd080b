// The floor of the benchmark: a Windows GUI program that does nothing. Starting it costs what starting
// any program costs on the bench machine (process creation, loader, C runtime start-up, and under Wine
// the whole Wine process start), so the installer's times are read as multiples of it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    return 0;
}
