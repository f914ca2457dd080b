// svcholder EVENT: opens the "Pellimar" service, signals the named event and waits to be killed. While
// it holds its handle, a deleted service stays "marked for deletion" instead of going away.
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr)
        return 1;
    SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_QUERY_STATUS);
    if (service == nullptr)
        return 1;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (ready == nullptr)
        return 1;
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}
