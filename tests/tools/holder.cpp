// holder EVENT WHAT: holds something for the tests until it is killed, after signalling the named
// event. WHAT is "file PATH [SHARE]" (open for reading with that share mode, 0 by default), "service"
// (a handle to the Pellimar service), "marked" (the same, then the service deleted: it stays marked
// for deletion while the handle lives) or "mutex" (owns Global\Pellimar_running; killed, it leaves
// the lock abandoned). Exit code 1 when it cannot be taken.
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    bool held = false;
    if (lstrcmpW(argv[2], L"file") == 0 && argc > 3)
    {
        DWORD share = argc > 4 ? wcstoul(argv[4], nullptr, 0) : 0;
        held = CreateFileW(argv[3], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr) != INVALID_HANDLE_VALUE;
    }
    else if (lstrcmpW(argv[2], L"mutex") == 0)
    {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\Pellimar_running");
        held = mutex != nullptr && WaitForSingleObject(mutex, 10000) == WAIT_OBJECT_0;
    }
    else
    {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = scm != nullptr ? OpenServiceW(scm, L"Pellimar", SERVICE_QUERY_STATUS | DELETE) : nullptr;
        held = service != nullptr && (lstrcmpW(argv[2], L"marked") != 0 || DeleteService(service));
    }
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (!held || ready == nullptr)
        return 1;
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}
