// DLL planting: an elevated installer started from a folder that also holds DLLs under system names (a
// download folder, a product's setup directory) must take none of them. The import tables of every build
// are checked on the Linux side (check_imports.py); this runs the installer beside the plants.
#include <shlwapi.h>

#include "rows.h"

using namespace harness;

TEST(DllPlanting, APlantLiveForAPlainLoadIsNotTakenByTheInstaller)
{
    CleanMachine();
    // Windows takes the first file found, so both names are live there. Wine takes its built-in DLL for a
    // system name unless a per-program override says "native,builtin", and only comctl32.dll can have it:
    // Wine's own user32.dll imports version.dll (Windows' does not), so a native-first version.dll would be
    // loaded, and called, while user32's imports are resolved, before the first instruction of any GUI
    // program. Under Wine the version.dll plant stays in the folder but is never live. (WINEDLLOVERRIDES
    // would not do: Wine does not take it from the environment that a Windows parent passes on.)
    std::vector<std::wstring> live = {L"version.dll", L"comctl32.dll"};
    if (IsWine())
        live = {L"comctl32.dll"};
    const std::wstring appDefaults = L"Software\\Wine\\AppDefaults\\";
    ScratchDir folder, markerDir;
    std::wstring marker = markerDir.File(L"loaded.txt");
    SetEnvironmentVariableW(L"TOVRAND_PLANTED_MARKER", marker.c_str());
    for (const wchar_t* name : {L"version.dll", L"comctl32.dll"})
        ASSERT_TRUE(CopyFileW((BinDir() + L"\\planted\\version.dll").c_str(), folder.File(name).c_str(), FALSE));
    for (const wchar_t* program : {L"TOVRAND64x86.EXE", L"plainload.exe"})
    {
        ASSERT_TRUE(CopyFileW((BinDir() + L"\\" + program).c_str(), folder.File(program).c_str(), FALSE));
        for (const std::wstring& dll : live)
            SHSetValueW(HKEY_CURRENT_USER, (appDefaults + program + L"\\DllOverrides").c_str(),
                        dll.substr(0, dll.size() - 4).c_str(), REG_SZ, L"native,builtin", 30);
    }
    // The condition is real: a program that loads the names the plain way from the folder gets the plant.
    for (const std::wstring& name : live)
    {
        DeleteFileW(marker.c_str());
        Process probe = Wait(Start(L"\"" + folder.File(L"plainload.exe") + L"\" " + name, L"", folder.Path()));
        EXPECT_EQ(0u, probe.exitCode) << Narrow(name);
        EXPECT_NE(std::string::npos, ReadFileBytes(marker).find(Narrow(name))) << "the plant did not load";
    }
    DeleteFileW(marker.c_str());
    InstallerRun run = RunInstaller(folder.File(L"TOVRAND64x86.EXE"), L"/Q /NOREGQZ PRODUCTA", L"", folder.Path());
    EXPECT_EQ("", ReadFileBytes(marker)) << "the installer loaded a planted DLL";
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_TRUE(run.Has("  File installed successfully: " + Narrow(Where().driversDir) + "\\PELLIMAR64x86.SYS"));
    for (const wchar_t* program : {L"TOVRAND64x86.EXE", L"plainload.exe"})
        SHDeleteKeyW(HKEY_CURRENT_USER, (appDefaults + program).c_str());
    SetEnvironmentVariableW(L"TOVRAND_PLANTED_MARKER", nullptr);
    CleanMachine();
}
