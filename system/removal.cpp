#include "system/removal.h"

// Stand-in until the full removal unit lands: deletes the one exact path it is given.
void DeleteFiles(const wchar_t* path, BOOL markOnReboot)
{
    (void)markOnReboot;
    if (path == nullptr || path[0] == L'\0')
        return;
    DeleteFileW(path);
}
