#include "machine.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include "harness.h"
#include "restart_schedule.h"
#include "scratch_registry.h"

namespace harness
{
const wchar_t kSharedDlls[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
const wchar_t kPellimarKey[] = L"SOFTWARE\\Norvatek\\Pellimar";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Pellimar";
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kQuazelKey[] = L"SOFTWARE\\Norvatek\\QuazelRegistration";
const wchar_t kLanmanKey[] = L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
const wchar_t kInstalledApps[] = L"SOFTWARE\\Norvatek\\InstalledApps";

namespace
{
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t* const kDriverFiles[] = {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT",
                                       L"PELLIMAR64x86.SY1", L"PELLIMAR64x86.IN1", L"PELLIMAR64x86.CA1"};

std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(towupper(c));
    return s;
}

bool IsOurs(const std::wstring& entry, const Locations& where)
{
    std::wstring e = Upper(entry);
    for (const std::wstring& dir : {where.makerDir, where.sharedDir, where.driversDir + L"\\PELLIMAR",
                                    ShortPath(where.makerDir), ShortPath(where.sharedDir)})
    {
        if (!dir.empty() && e.find(Upper(dir)) != std::wstring::npos)
            return true;
    }
    // Our files by name, the self-delete copies in a temporary directory also by their short names
    // ("TOVR~..."), and anything a test scheduled in its scratch directories ("tvt<pid>_<n>").
    return e.find(L"PELLIMAR64X86") != std::wstring::npos || e.find(L"TOVRAND") != std::wstring::npos ||
           e.find(L"\\TOVR~") != std::wstring::npos || e.find(L"\\TVT") != std::wstring::npos;
}
}  // namespace

Locations Where()
{
    Locations w;
    w.programFiles = GetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"ProgramFilesDir");
    w.commonFiles = GetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir");
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    w.driversDir = std::wstring(system) + L"\\Drivers";
    w.makerDir = w.programFiles + L"\\Norvatek";
    w.sharedDir = w.commonFiles + L"\\Norvatek Shared";
    w.manifestsDir = w.sharedDir + L"\\KVManifests";
    w.tempDir = w.makerDir + L"\\TEMP.^^^";
    return w;
}

std::string SharedDllsValue(const std::wstring& path)
{
    DWORD type = 0;
    std::string bytes;
    if (!GetValue(HKEY_LOCAL_MACHINE, kSharedDlls, path.c_str(), &type, &bytes))
        return "";
    if (type == REG_DWORD && bytes.size() == 4)
        return "dword:" + std::to_string(*reinterpret_cast<const DWORD*>(bytes.data()));
    if (type == REG_SZ)
        return Narrow(GetString(HKEY_LOCAL_MACHINE, kSharedDlls, path.c_str()));
    return "type" + std::to_string(type);
}

std::string MainCount()
{
    return SharedDllsValue(Where().driversDir + L"\\PELLIMAR64x86.SYS");
}

std::string MakerCount()
{
    return SharedDllsValue(Where().makerDir + L"\\PELLIMAR64x86.SYS");
}

bool ServiceExists()
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr)
        return false;
    SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_QUERY_CONFIG);
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return service != nullptr;
}

void SetPendingRenames(const std::vector<std::wstring>& entries)
{
    if (entries.empty())
    {
        DeleteValue(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
        return;
    }
    std::wstring all;
    for (const std::wstring& e : entries)
    {
        all += e;
        all.push_back(L'\0');
    }
    all.push_back(L'\0');
    SetBinary(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", all.data(),
              static_cast<DWORD>(all.size() * sizeof(wchar_t)), REG_MULTI_SZ);
}

void WaitForInstallers(DWORD timeoutMs)
{
    // A finished uninstall leaves its self-delete copy running for a few seconds (it waits for the
    // installer file to be released, then tidies the shared folder and the restart list): it must
    // not reach into the next test.
    for (DWORD waited = 0; waited < timeoutMs; waited += 200)
    {
        bool running = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        {
            std::wstring name = Upper(entry.szExeFile);
            size_t slash = name.find_last_of(L'\\');
            if (slash != std::wstring::npos)
                name = name.substr(slash + 1);
            // The installer itself and its self-delete copies (tovrand0.exe .. tovrand9.exe); not the
            // test programs, whose names also begin with "tovrand".
            bool copy = name.size() == 12 && name.compare(0, 7, L"TOVRAND") == 0 && iswdigit(name[7]) &&
                        name.compare(8, 4, L".EXE") == 0;
            if (name == L"TOVRAND64X86.EXE" || copy)
                running = true;
        }
        CloseHandle(snapshot);
        if (!running)
            return;
        Sleep(200);
    }
}

void CleanMachine()
{
    WaitForInstallers(30000);
    Locations w = Where();
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm != nullptr)
    {
        SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_ALL_ACCESS);
        if (service != nullptr)
        {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
    }
    DeleteTree(HKEY_LOCAL_MACHINE, kServiceKey);
    DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Norvatek");
    DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\Norvatek");
    DeleteTree(HKEY_LOCAL_MACHINE, kUninstallKey);
    DeleteTree(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_PELLIMAR");
    DeleteValue(HKEY_LOCAL_MACHINE, kLanmanKey, L"CachedOpenLimit");
    for (const std::wstring& dir : {w.driversDir, w.makerDir})
        DeleteValue(HKEY_LOCAL_MACHINE, kSharedDlls, (dir + L"\\PELLIMAR64x86.SYS").c_str());
    DeleteValue(HKEY_LOCAL_MACHINE, kSharedDlls, (w.sharedDir + L"\\TOVRAND64x86.EXE").c_str());
    for (const wchar_t* name : kDriverFiles)
        RemoveTree(w.driversDir + L"\\" + name);
    RemoveTree(w.makerDir);
    RemoveTree(w.sharedDir);

    // Keep foreign pending renames, drop every pair that touches our files.
    std::vector<std::wstring> entries = PendingRenameStrings();
    std::vector<std::wstring> kept;
    for (size_t i = 0; i + 1 < entries.size(); i += 2)
    {
        if (!IsOurs(entries[i], w) && !IsOurs(entries[i + 1], w))
        {
            kept.push_back(entries[i]);
            kept.push_back(entries[i + 1]);
        }
    }
    SetPendingRenames(kept);
    SetWindowsVersion(L"");
}

std::string DumpState()
{
    Locations w = Where();
    std::string out;
    auto line = [&out](const std::string& s) { out += s + "\n"; };
    line("main count: '" + MainCount() + "'  maker count: '" + MakerCount() + "'  installer usage: '" +
         SharedDllsValue(w.sharedDir + L"\\TOVRAND64x86.EXE") + "'");
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPellimarKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) == 0)
    {
        std::string subkeys;
        wchar_t name[256];
        for (DWORD i = 0;; ++i)
        {
            DWORD n = 256;
            if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != 0)
                break;
            subkeys += " " + Narrow(name);
        }
        RegCloseKey(key);
        line("Pellimar key: subkeys:" + subkeys);
    }
    else
    {
        line("Pellimar key: absent");
    }
    line("uninstall entry: '" + Narrow(GetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString")) + "'");
    line("service: " + std::string(ServiceExists() ? "present" : "absent") +
         " ImagePath='" + Narrow(GetString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath")) + "'");
    DWORD limit = GetDword(HKEY_LOCAL_MACHINE, kLanmanKey, L"CachedOpenLimit");
    line("CachedOpenLimit: " + (limit == 0xFFFFFFFF ? std::string("absent") : std::to_string(limit)));
    std::string files;
    for (const wchar_t* name : kDriverFiles)
        if (FileExists(w.driversDir + L"\\" + name))
            files += " " + Narrow(name);
    line("drivers dir:" + files);
    for (const std::wstring& dir : {w.makerDir, w.sharedDir, w.manifestsDir})
    {
        if (!DirExists(dir))
        {
            line(Narrow(dir) + ": absent");
            continue;
        }
        std::string names;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE)
        {
            do
            {
                if (fd.cFileName[0] != L'.')
                    names += " " + Narrow(fd.cFileName);
            } while (FindNextFileW(find, &fd));
            FindClose(find);
        }
        line(Narrow(dir) + ":" + names);
    }
    std::string pending;
    for (const std::wstring& e : PendingRenameStrings())
        pending += " [" + Narrow(e) + "]";
    line("pending renames:" + pending);
    line("quazel: registered=" + std::to_string(static_cast<int>(GetDword(HKEY_LOCAL_MACHINE, kQuazelKey, L"Registered"))) +
         " last='" + Narrow(GetString(HKEY_LOCAL_MACHINE, kQuazelKey, L"LastCommandLine")) + "'");
    return out;
}

void SetWindowsVersion(const std::wstring& version)
{
    const wchar_t key[] = L"Software\\Wine\\AppDefaults\\TOVRAND64x86.EXE";
    if (version.empty())
        SHDeleteKeyW(HKEY_CURRENT_USER, key);
    else
        SetString(HKEY_CURRENT_USER, key, L"Version", version);
}
}  // namespace harness
