// TovrandCA.dll's entries called in this process with a real package handle (the demo MSI opened), for
// what msiexec cannot show: what an action leaves in the custom-action server that loaded it, and an
// installer that never ends.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include "rows.h"

using namespace harness;

namespace
{
// The DLL loaded, the demo package open with its INFO messages logged, and CustomActionData made of the
// fields given, each as "<length>:<text>".
struct Package
{
    HMODULE dll;
    MSIHANDLE handle = 0;
    Package(const wchar_t* dllPath, const std::wstring& log, std::vector<std::wstring> fields = {})
        : dll(LoadLibraryW((BinDir() + dllPath).c_str()))
    {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiEnableLogW(INSTALLLOGMODE_INFO, log.c_str(), 0);
        EXPECT_EQ(0u, MsiOpenPackageW((BinDir() + L"\\setups\\TovrandDemo.msi").c_str(), &handle));
        std::wstring data;
        for (const std::wstring& field : fields)
            data += std::to_wstring(field.size()) + L":" + field;
        MsiSetPropertyW(handle, L"CustomActionData", data.c_str());
    }
    ~Package() { MsiCloseHandle(handle), FreeLibrary(dll); }
    UINT Call(const char* entry) { return reinterpret_cast<UINT(__stdcall*)(MSIHANDLE)>(GetProcAddress(dll, entry))(handle); }
};
}  // namespace

// A copy that everybody may change runs only when it is signed by the DLL's own signer: the signed
// installer copy with the signed (release) DLL, not with the unsigned test build. The arguments are ones
// the installer refuses before it changes anything.
TEST(CustomActions, ACopyOthersMayChangeRunsOnlyWithTheDllsOwnSignature)
{
    const struct
    {
        const wchar_t* dll;
        const char* says;
    } rows[] = {{L"\\release\\setups\\TovrandCA.dll", " /NOREGAPPID /NODEL PRODUCTA (signed by TovrandCA.dll's signer)"},
                {L"\\setups\\TovrandCA.dll", "TOVRAND64x86.EXE is refused: others than the administrators"}};
    for (const auto& row : rows)
    {
        ScratchDir folder;
        std::wstring copy = folder.File(L"TOVRAND64x86.EXE"), log = folder.File(L"msi.log");
        ASSERT_TRUE(CopyFileW((BinDir() + L"\\variants\\signed-12.9.0.23\\TOVRAND64x86.EXE").c_str(), copy.c_str(), FALSE));
        EXPECT_TRUE(LetEverybodyChange(copy));
        EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE),
                  Package(row.dll, log, {L"/NOREGAPPID /NODEL", L"PRODUCTA", copy, L""}).Call("TovrandRun"));
        EXPECT_NE(std::string::npos, ReadFileBytes(log).find(row.says)) << Narrow(row.dll);
    }
}

// Other products' actions run in the same server: an action takes the current directory out of the DLL
// search only while it runs.
TEST(CustomActions, AnActionGivesTheServerItsDllSearchBack)
{
    ScratchDir folder;
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\planted\\version.dll").c_str(), folder.File(L"tovrandprobe.dll").c_str(), FALSE));
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    SetCurrentDirectoryW(folder.Path().c_str());
    Package package(L"\\setups\\TovrandCA.dll", folder.File(L"msi.log"));
    EXPECT_EQ(0u, package.Call("TovrandRestart"));
    HMODULE probe = LoadLibraryW(L"tovrandprobe.dll");
    EXPECT_NE(nullptr, probe) << "a DLL in the current directory is no longer found";
    FreeLibrary(probe);
    SetCurrentDirectoryW(cwd);
}

// An installer that never ends (a box in session 0) fails the action after the bound, 2 s in this build of
// the DLL, and is left running: holder.exe holds a file until it is killed.
TEST(CustomActions, AnInstallerThatDoesNotEndFailsTheActionAfterTheBound)
{
    ScratchDir logs;
    std::wstring log = logs.File(L"msi.log"), held = logs.File(L"held.txt"), holder = BinDir() + L"\\holder.exe";
    ASSERT_TRUE(WriteFileBytes(held, "x"));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"TovrandCaHeld");
    {
        // The AppID's place takes holder's share mode, 0.
        Package package(L"\\variants\\shortwait\\TovrandCA.dll", log, {L"TovrandCaHeld file " + held, L"0", holder, L""});
        HANDLE thread = CreateThread(nullptr, 0, [](void* p) -> DWORD {
            return static_cast<Package*>(p)->Call("TovrandRun"); }, &package, 0, nullptr);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000)) << "the action still waits";
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {sizeof(entry)};
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            if (lstrcmpiW(entry.szExeFile, L"holder.exe") == 0)
                TerminateProcess(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID), 1);
        CloseHandle(snapshot);
        DWORD result = 0;
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &result);
        CloseHandle(thread);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), result);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 0)) << "holder.exe did not run";
    }
    CloseHandle(ready);
    EXPECT_NE(std::string::npos, ReadFileBytes(log).find(" 0 has not ended within 2 seconds; it is left running and "
                                                         "the action fails."));
}
