// holdfile PATH EVENT [HOLD_MS] [SHARE_MODE]: opens PATH for reading with the given share mode (0 when
// absent: nobody may read, write or delete it meanwhile), signals the named event and holds the file
// until killed, or for HOLD_MS milliseconds when that is given and not 0. Exit code 1 when the file or
// the event cannot be opened.
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    DWORD holdMs = argc > 3 ? wcstoul(argv[3], nullptr, 10) : 0;
    DWORD share = argc > 4 ? wcstoul(argv[4], nullptr, 0) : 0;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (ready == nullptr)
        return 1;
    SetEvent(ready);
    Sleep(holdMs != 0 ? holdMs : INFINITE);
    CloseHandle(file);
    return 0;
}
