// plainload NAME: loads NAME with a plain LoadLibraryW, whose search starts in the program's own folder,
// as a program without any DLL hardening does. Exit code 0 when something was loaded, 1 when not.
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    return LoadLibraryW(argv[1]) != nullptr ? 0 : 1;
}
