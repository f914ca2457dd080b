// TovrandCA.dll's entries called in this process with a real package handle (the demo MSI opened), for
// what msiexec cannot show: what an action leaves behind in the custom-action server that loaded it, and
// an installer that never ends.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include "rows.h"

using namespace harness;

namespace
{
typedef UINT(__stdcall* ActionFn)(MSIHANDLE);

struct Package
{
    MSIHANDLE handle = 0;
    explicit Package(const std::wstring& log)
    {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiEnableLogW(INSTALLLOGMODE_INFO, log.c_str(), 0);
        EXPECT_EQ(0u, MsiOpenPackageW((BinDir() + L"\\setups\\TovrandDemo.msi").c_str(), &handle));
    }
    ~Package() { MsiCloseHandle(handle); }
};

ActionFn Entry(HMODULE dll, const char* name)
{
    return reinterpret_cast<ActionFn>(GetProcAddress(dll, name));
}

void EndAll(const wchar_t* exe)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, exe) == 0)
        {
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    CloseHandle(snapshot);
}
}  // namespace

// Other products' actions run in the same server: an action takes the current directory out of the DLL
// search only while it runs.
TEST(CustomActions, AnActionGivesTheServerItsDllSearchBack)
{
    ScratchDir folder, logs;
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\planted\\version.dll").c_str(), folder.File(L"tovrandprobe.dll").c_str(), FALSE));
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    SetCurrentDirectoryW(folder.Path().c_str());
    Package package(logs.File(L"msi.log"));
    HMODULE dll = LoadLibraryW((BinDir() + L"\\setups\\TovrandCA.dll").c_str());
    ASSERT_NE(nullptr, dll);
    for (const char* action : {"TovrandRestart", "TovrandRollback"})
    {
        EXPECT_EQ(0u, Entry(dll, action)(package.handle)) << action;
        HMODULE probe = LoadLibraryW(L"tovrandprobe.dll");
        EXPECT_NE(nullptr, probe) << "after " << action << ", a DLL in the current directory is no longer found";
        FreeLibrary(probe);
    }
    FreeLibrary(dll);
    SetCurrentDirectoryW(cwd);
}

// An installer that never ends (a box in session 0) fails the action after the bound, here the 2 s of a
// test build of the DLL, and is left running.
TEST(CustomActions, AnInstallerThatDoesNotEndFailsTheActionAfterTheBound)
{
    ScratchDir logs;
    std::wstring log = logs.File(L"msi.log"), held = logs.File(L"held.txt");
    ASSERT_TRUE(WriteFileBytes(held, "x"));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"TovrandCaHeld");
    HMODULE dll = LoadLibraryW((BinDir() + L"\\variants\\shortwait\\TovrandCA.dll").c_str());
    ASSERT_NE(nullptr, dll);
    {
        Package package(log);
        // holder.exe holds a file until it is killed: "<event> file <path>" and the AppID's place for its share mode.
        std::wstring holder = BinDir() + L"\\holder.exe", args = L"TovrandCaHeld file " + held;
        std::wstring data = std::to_wstring(args.size()) + L":" + args + L"1:0" + std::to_wstring(holder.size()) + L":" +
                            holder + L"0:";
        ASSERT_EQ(0u, MsiSetPropertyW(package.handle, L"CustomActionData", data.c_str()));
        struct Call
        {
            ActionFn run;
            MSIHANDLE handle;
            UINT result;
        } call = {Entry(dll, "TovrandRun"), package.handle, 0};
        HANDLE thread = CreateThread(nullptr, 0, [](void* p) -> DWORD {
            Call* c = static_cast<Call*>(p);
            c->result = c->run(c->handle);
            return 0;
        }, &call, 0, nullptr);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000)) << "the action still waits";
        EndAll(L"holder.exe");
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), call.result);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 0)) << "holder.exe did not run";
    }
    CloseHandle(ready);
    EXPECT_NE(std::string::npos, ReadFileBytes(log).find(" TovrandCaHeld file " + Narrow(held) +
                                                         " 0 has not ended within 2 seconds; it is left running "
                                                         "and the action fails."));
    FreeLibrary(dll);
}
