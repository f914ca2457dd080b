// mutexholder EVENT: takes "Global\Pellimar_running", signals the named event and waits to be killed,
// so that the tests can leave the installer's lock abandoned.
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\Pellimar_running");
    if (mutex == nullptr || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0)
        return 1;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (ready == nullptr)
        return 1;
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}
