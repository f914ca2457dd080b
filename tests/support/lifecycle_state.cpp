#include "lifecycle_state.h"

#include <algorithm>

#include "scratch_registry.h"

namespace harness
{
namespace
{
const char* const kDriverFiles = "PELLIMAR64x86.SYS PELLIMAR64x86.INF PELLIMAR64x86.CAT";
const wchar_t* const kOurDriverNames[] = {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT",
                                          L"PELLIMAR64x86.SY1", L"PELLIMAR64x86.IN1", L"PELLIMAR64x86.CA1"};

std::string Join(std::vector<std::string> items, bool sort)
{
    if (sort)
        std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : " ") + item;
    return out;
}

std::string ListDirectory(const std::wstring& dir)
{
    if (!DirExists(dir))
        return "absent";
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (lstrcmpW(fd.cFileName, L".") != 0 && lstrcmpW(fd.cFileName, L"..") != 0)
                names.push_back(Narrow(fd.cFileName));
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    return Join(names, true);
}

std::string ProductKeys()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPellimarKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return "absent";
    std::vector<std::string> products;
    wchar_t name[256];
    for (DWORD i = 0;; ++i)
    {
        DWORD n = 256;
        if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DWORD dir1 = GetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\" + name, L"Dir1");
        products.push_back(Narrow(name) + "(Dir1=" + (dir1 == 0xFFFFFFFF ? std::string("none") : std::to_string(dir1)) +
                           ")");
    }
    RegCloseKey(key);
    return Join(products, true);
}

std::string Quazel()
{
    if (!KeyExists(HKEY_LOCAL_MACHINE, kQuazelKey))
        return "absent";
    return "registered=" + std::to_string(static_cast<int>(GetDword(HKEY_LOCAL_MACHINE, kQuazelKey, L"Registered"))) +
           " runs=" + std::to_string(static_cast<int>(GetDword(HKEY_LOCAL_MACHINE, kQuazelKey, L"RunCount"))) +
           " last='" + Narrow(GetString(HKEY_LOCAL_MACHINE, kQuazelKey, L"LastCommandLine")) + "'";
}

std::string Absent(const std::string& value)
{
    return value.empty() ? "absent" : value;
}

std::string Dir(const std::wstring& path)
{
    return Narrow(path);
}
}  // namespace

InstallerState NoTrace()
{
    InstallerState s;
    s.mainCount = s.makerCount = s.installerUsage = "absent";
    s.pellimarKey = s.uninstallEntry = s.service = s.cachedOpenLimit = "absent";
    s.driversDir = "";
    s.makerDir = s.sharedDir = s.manifestsDir = "absent";
    s.pending = "";
    s.quazel = "absent";
    return s;
}

InstallerState Installed(int count, const std::vector<std::string>& products, int registrationRuns, bool beforeVista)
{
    Locations w = Where();
    InstallerState s;
    s.mainCount = std::to_string(count);
    s.makerCount = beforeVista ? s.mainCount : "absent";
    s.installerUsage = "dword:500";
    std::vector<std::string> keys;
    for (const std::string& p : products)
        keys.push_back(p + "(Dir1=1)");
    s.pellimarKey = Join(keys, true);
    s.uninstallEntry = "\"" + Dir(w.sharedDir) + "\\TOVRAND64x86.EXE\" /U /Q";
    s.service = "present ImagePath=" + Dir(w.driversDir) + "\\PELLIMAR64x86.SYS";
    s.cachedOpenLimit = "0";
    s.driversDir = kDriverFiles;
    s.makerDir = beforeVista ? "PELLIMAR64x86.CAT PELLIMAR64x86.INF PELLIMAR64x86.SYS" : "";
    s.sharedDir = "KVManifests TOVRAND64x86.EXE";
    s.manifestsDir = "PELLMAR.GRD PELLMAR.KVM PELLMAR.SIG";
    s.pending = "";
    s.quazel = registrationRuns == 0 ? "absent"
                                     : "registered=1 runs=" + std::to_string(registrationRuns) + " last='/QZREG /64X86 /LOG'";
    return s;
}

InstallerState Removed(int registrationRuns)
{
    InstallerState s = NoTrace();
    s.cachedOpenLimit = "0";
    s.quazel = "registered=0 runs=" + std::to_string(registrationRuns) + " last='/QZUNREG /LOG'";
    return s;
}

PendingBaseline::PendingBaseline() : m_entries(PendingRenameStrings())
{
}

std::string PendingPair(const std::wstring& from, const std::wstring& to)
{
    return "[" + Narrow(from) + "]->[" + Narrow(to) + "]";
}

std::string PendingBaseline::Changes() const
{
    std::vector<std::wstring> now = PendingRenameStrings();
    std::vector<std::pair<std::wstring, std::wstring>> old;
    for (size_t i = 0; i + 1 < m_entries.size(); i += 2)
        old.emplace_back(m_entries[i], m_entries[i + 1]);
    std::vector<std::string> changes;
    for (size_t i = 0; i + 1 < now.size(); i += 2)
    {
        auto known = std::find(old.begin(), old.end(), std::make_pair(now[i], now[i + 1]));
        if (known != old.end())
            old.erase(known);
        else
            changes.push_back(PendingPair(now[i], now[i + 1]));
    }
    // A list of odd length is broken: show its last string on its own.
    if (now.size() % 2 == 1)
        changes.push_back("[" + Narrow(now.back()) + "]->(missing)");
    for (const auto& lost : old)
        changes.push_back("lost " + PendingPair(lost.first, lost.second));
    return Join(changes, false);
}

void PendingBaseline::Drop(const std::wstring& from, const std::wstring& to)
{
    std::vector<std::wstring> now = PendingRenameStrings();
    for (size_t i = 0; i + 1 < now.size(); i += 2)
    {
        if (now[i] == from && now[i + 1] == to)
        {
            now.erase(now.begin() + i, now.begin() + i + 2);
            SetPendingRenames(now);
            return;
        }
    }
}

InstallerState ReadInstallerState(const PendingBaseline& baseline)
{
    Locations w = Where();
    InstallerState s;
    s.mainCount = Absent(MainCount());
    s.makerCount = Absent(MakerCount());
    s.installerUsage = Absent(SharedDllsValue(w.sharedDir + L"\\TOVRAND64x86.EXE"));
    s.pellimarKey = ProductKeys();
    s.uninstallEntry = KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)
                           ? Narrow(GetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString"))
                           : "absent";
    // The service manager's answer and the service's key must agree.
    bool known = ServiceExists();
    bool key = KeyExists(HKEY_LOCAL_MACHINE, kServiceKey);
    std::string image = "ImagePath=" + Narrow(GetString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath"));
    if (known && key)
        s.service = "present " + image;
    else if (!known && !key)
        s.service = "absent";
    else
        s.service = std::string(known ? "known to the service manager" : "unknown to the service manager") +
                    (key ? " with a key " + image : " without a key");
    DWORD limit = GetDword(HKEY_LOCAL_MACHINE, kLanmanKey, L"CachedOpenLimit");
    s.cachedOpenLimit = limit == 0xFFFFFFFF ? "absent" : std::to_string(limit);
    std::vector<std::string> drivers;
    for (const wchar_t* name : kOurDriverNames)
        if (FileExists(w.driversDir + L"\\" + name))
            drivers.push_back(Narrow(name));
    s.driversDir = Join(drivers, false);
    s.makerDir = ListDirectory(w.makerDir);
    s.sharedDir = ListDirectory(w.sharedDir);
    s.manifestsDir = ListDirectory(w.manifestsDir);
    s.pending = baseline.Changes();
    s.quazel = Quazel();
    return s;
}

::testing::AssertionResult MachineIs(const InstallerState& expected, const PendingBaseline& baseline)
{
    struct Field
    {
        const char* name;
        std::string InstallerState::*member;
    };
    static const Field kFields[] = {
        {"main count", &InstallerState::mainCount},
        {"maker count", &InstallerState::makerCount},
        {"installer usage", &InstallerState::installerUsage},
        {"Pellimar key", &InstallerState::pellimarKey},
        {"uninstall entry", &InstallerState::uninstallEntry},
        {"service", &InstallerState::service},
        {"CachedOpenLimit", &InstallerState::cachedOpenLimit},
        {"drivers dir", &InstallerState::driversDir},
        {"maker dir", &InstallerState::makerDir},
        {"shared dir", &InstallerState::sharedDir},
        {"KVManifests", &InstallerState::manifestsDir},
        {"pending renames", &InstallerState::pending},
        {"updater record", &InstallerState::quazel},
    };
    InstallerState found = ReadInstallerState(baseline);
    std::string differences;
    for (const Field& f : kFields)
    {
        const std::string& e = expected.*(f.member);
        const std::string& g = found.*(f.member);
        if (e != g)
            differences += std::string("  ") + f.name + ":\n    expected '" + e + "'\n    found    '" + g + "'\n";
    }
    if (differences.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "machine state differs:\n" << differences << "whole machine:\n" << DumpState();
}
}  // namespace harness
