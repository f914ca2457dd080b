#include "machine.h"

#include <sddl.h>
#include <shlwapi.h>

#include <algorithm>
#include <sstream>

#include "base/handle.h"
#include "harness.h"

namespace harness
{
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kSharedDlls[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
const wchar_t kPellimarKey[] = L"SOFTWARE\\Norvatek\\Pellimar";
const wchar_t kInstalledApps[] = L"SOFTWARE\\Norvatek\\InstalledApps";
const wchar_t kSharedUsage[] = L"Software\\Norvatek\\SharedUsage\\PELLIMAR64x86.SYS";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Pellimar";
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kQuazelKey[] = L"SOFTWARE\\Norvatek\\QuazelRegistration";

namespace
{
const wchar_t kLanmanKey[] = L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters";
const wchar_t kForeignDir[] = L"C:\\TovrandForeign";
const wchar_t* const kDriverNames[] = {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT",
                                       L"PELLIMAR64x86.SY1", L"PELLIMAR64x86.IN1", L"PELLIMAR64x86.CA1"};

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return !part.empty() && StrStrIW(text.c_str(), part.c_str()) != nullptr;
}

std::string Join(std::vector<std::string> items, bool sort = true)
{
    if (sort)
        std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : " ") + item;
    return out;
}

// The subkeys or the values below key.
std::vector<std::wstring> Names(const std::wstring& key, bool subKeys, bool* exists = nullptr)
{
    std::vector<std::wstring> names;
    CScopedKey k;
    bool open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, k.Receive()) == 0;
    if (exists != nullptr)
        *exists = open;
    static wchar_t name[16384];
    auto next = [&](DWORD i, DWORD* n) {
        return subKeys ? RegEnumKeyExW(k.Get(), i, name, n, nullptr, nullptr, nullptr, nullptr)
                       : RegEnumValueW(k.Get(), i, name, n, nullptr, nullptr, nullptr, nullptr);
    };
    for (DWORD i = 0, n = 16384; open && next(i, &n) == 0; ++i, n = 16384)
        names.push_back(name);
    return names;
}

// The value names below key, sorted and joined.
std::string ValueNames(const std::wstring& key)
{
    std::vector<std::string> names;
    for (const std::wstring& name : Names(key, false))
        names.push_back(Narrow(name));
    return Join(names);
}

// What the installer or the tests made, the bystanders in C:\TovrandForeign included.
bool IsOurs(const std::wstring& entry, const Locations& w)
{
    for (const std::wstring& part : {w.makerDir, w.sharedDir, ShortPath(w.makerDir), ShortPath(w.sharedDir),
                                     std::wstring(L"PELLIMAR64X86"), std::wstring(L"TOVRAND"),
                                     std::wstring(L"\\TOVR~"), std::wstring(L"\\PELL~"), std::wstring(L"\\TVT")})
        if (Contains(entry, part))
            return true;
    return false;
}

std::string Value(const std::wstring& key, const wchar_t* name)
{
    RawValue v = ReadRaw(key, name);
    if (!v.exists)
        return "absent";
    if (v.type == REG_DWORD && v.bytes.size() == 4)
        return "dword:" + std::to_string(*reinterpret_cast<const DWORD*>(v.bytes.data()));
    return v.type == REG_SZ ? Narrow(GetString(key, name)) : "type" + std::to_string(v.type);
}

std::string Listing(const std::wstring& dir)
{
    if (!DirExists(dir))
        return "absent";
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    CScopedFind find(FindFirstFileW((dir + L"\\*").c_str(), &fd));
    for (BOOL more = find.IsValid(); more; more = FindNextFileW(find.Get(), &fd))
        if (lstrcmpW(fd.cFileName, L".") != 0 && lstrcmpW(fd.cFileName, L"..") != 0)
            names.push_back(Narrow(fd.cFileName));
    return Join(names);
}

// The service manager's answer and the service's key must agree.
std::string Service()
{
    CScopedService service(OpenPellimarService(SERVICE_QUERY_CONFIG));
    BYTE buffer[8192];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGW* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    std::string config;
    if (service.IsValid() && QueryServiceConfigW(service.Get(), c, sizeof(buffer), &needed))
        config = " type=" + std::to_string(c->dwServiceType) + " start=" + std::to_string(c->dwStartType) +
                 " error=" + std::to_string(c->dwErrorControl);
    bool known = service.IsValid();
    bool key = !Names(kServiceKey, false).empty();
    if (!known && !key)
        return "absent";
    return std::string(known ? "present" : "unknown to the manager") +
           (key ? config + " image=" + Narrow(GetString(kServiceKey, L"ImagePath")) : " without a key");
}

std::vector<std::string> Pairs(const std::vector<std::wstring>& strings)
{
    std::vector<std::string> pairs;
    for (size_t i = 0; i < strings.size(); i += 2)
        pairs.push_back("[" + Narrow(strings[i]) + "]->[" + (i + 1 < strings.size() ? Narrow(strings[i + 1]) : "?") +
                        "]");
    return pairs;
}

}  // namespace

RawValue ReadRaw(const std::wstring& key, const wchar_t* name)
{
    RawValue v;
    CScopedKey k;
    DWORD size = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, k.Receive()) == 0 &&
        RegQueryValueExW(k.Get(), name, nullptr, &v.type, nullptr, &size) == 0)
    {
        v.bytes.assign(size, '\0');
        v.exists = RegQueryValueExW(k.Get(), name, nullptr, &v.type, reinterpret_cast<BYTE*>(&v.bytes[0]), &size) == 0;
        v.bytes.resize(size);
    }
    return v;
}

bool WriteRaw(const std::wstring& key, const wchar_t* name, const RawValue& value)
{
    CScopedKey k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        k.Receive(), nullptr) != 0)
        return false;
    const BYTE* data = reinterpret_cast<const BYTE*>(value.bytes.data());
    return (value.exists ? RegSetValueExW(k.Get(), name, 0, value.type, data, static_cast<DWORD>(value.bytes.size()))
                         : RegDeleteValueW(k.Get(), name)) == 0;
}

RawValue Sz(const std::wstring& text, DWORD type)
{
    return {true, type, std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2)};
}

RawValue Dword(DWORD value)
{
    return {true, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4)};
}

std::wstring GetString(const std::wstring& key, const wchar_t* name)
{
    RawValue v = ReadRaw(key, name);
    std::wstring text(reinterpret_cast<const wchar_t*>(v.bytes.data()), v.bytes.size() / 2);
    return text.substr(0, text.find(L'\0'));
}

SC_HANDLE OpenPellimarService(DWORD access)
{
    CScopedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return manager.IsValid() ? OpenServiceW(manager.Get(), L"Pellimar", access) : nullptr;
}

bool KeyExists(const std::wstring& key)
{
    bool exists = false;
    Names(key, true, &exists);
    return exists;
}

void DeleteTree(const std::wstring& key)
{
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

namespace
{
// Keys whose access list a test replaced: the handle, opened before, can still put it back.
std::vector<std::pair<HKEY, std::string>> denied;
}  // namespace

bool DenyWrites(const std::wstring& key, const wchar_t* sddl)
{
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY, &k) != 0)
        return false;
    std::string old(65536, '\0');
    DWORD size = static_cast<DWORD>(old.size());
    PSECURITY_DESCRIPTOR sd = nullptr;
    bool ok = RegGetKeySecurity(k, DACL_SECURITY_INFORMATION, &old[0], &size) == 0 &&
              ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr) &&
              RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, sd) == 0;
    LocalFree(sd);
    denied.emplace_back(k, old);
    return ok;
}

void AllowWrites()
{
    for (auto& d : denied)
        RegSetKeySecurity(d.first, DACL_SECURITY_INFORMATION, &d.second[0]), RegCloseKey(d.first);
    denied.clear();
}

Locations Where()
{
    Locations w;
    w.programFiles = GetString(kCurrentVersion, L"ProgramFilesDir");
    w.commonFiles = GetString(kCurrentVersion, L"CommonFilesDir");
    wchar_t folder[MAX_PATH];
    GetSystemDirectoryW(folder, MAX_PATH);
    w.driversDir = std::wstring(folder) + L"\\Drivers";
    GetWindowsDirectoryW(folder, MAX_PATH);
    w.windowsDir = folder;
    w.makerDir = w.programFiles + L"\\Norvatek";
    w.sharedDir = w.commonFiles + L"\\Norvatek Shared";
    w.manifestsDir = w.sharedDir + L"\\KVManifests";
    w.tempDir = w.makerDir + L"\\TEMP.^^^";
    return w;
}

std::vector<std::wstring> PendingStrings()
{
    std::vector<std::wstring> strings;
    std::string bytes = ReadRaw(kSessionManager, L"PendingFileRenameOperations").bytes;
    std::wstring all(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    // Up to the list's end: an empty string where a pair would start.
    for (size_t start = 0, end; start < all.size() && (all[start] != L'\0' || strings.size() % 2); start = end + 1)
    {
        end = std::min(all.find(L'\0', start), all.size());
        strings.push_back(all.substr(start, end - start));
    }
    return strings;
}

std::string MultiSz(const std::vector<std::wstring>& strings, bool closingNul)
{
    std::string bytes;
    for (const std::wstring& s : strings)
        bytes += std::string(reinterpret_cast<const char*>(s.c_str()), (s.size() + 1) * 2);
    return closingNul ? bytes + std::string(2, '\0') : bytes;
}

void SetPending(const std::vector<std::wstring>& strings)
{
    WriteRaw(kSessionManager, L"PendingFileRenameOperations",
             strings.empty() ? RawValue() : RawValue{true, REG_MULTI_SZ, MultiSz(strings)});
}

void DropPending(const std::function<bool(const std::wstring&, const std::wstring&)>& drop)
{
    std::vector<std::wstring> all = PendingStrings(), kept;
    for (size_t i = 0; i + 1 < all.size(); i += 2)
        if (!drop(all[i], all[i + 1]))
            kept.insert(kept.end(), {all[i], all[i + 1]});
    if (kept.size() < all.size() / 2 * 2)
        SetPending(kept);
}

void SetWindowsVersion(const std::wstring& version)
{
    // The state check sees the same system as the installer.
    for (const wchar_t* key :
         {L"Software\\Wine\\AppDefaults\\TOVRAND64x86.EXE", L"Software\\Wine\\AppDefaults\\TOVCHECK64.EXE"})
        version.empty() ? SHDeleteKeyW(HKEY_CURRENT_USER, key)
                        : SHSetValueW(HKEY_CURRENT_USER, key, L"Version", REG_SZ, version.c_str(),
                                      static_cast<DWORD>((version.size() + 1) * 2));
}

void CleanMachine()
{
    WaitForInstallers(30000);
    AllowWrites();
    Locations w = Where();
    CScopedService service(OpenPellimarService(SERVICE_ALL_ACCESS));
    if (service.IsValid())
        DeleteService(service.Get());
    for (const wchar_t* key : {kServiceKey, L"SOFTWARE\\Norvatek", L"Software\\Norvatek", kUninstallKey,
                               L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_PELLIMAR"})
        DeleteTree(key);
    WriteRaw(kLanmanKey, L"CachedOpenLimit", RawValue());
    for (const std::wstring& name : Names(kSharedDlls, false))
        if (IsOurs(name, w))
            WriteRaw(kSharedDlls, name.c_str(), RawValue());
    for (const wchar_t* name : kDriverNames)
        RemoveTree(w.driversDir + L"\\" + name);
    // Every pair of ours goes; what other programs scheduled stays. Our folders are there while that is
    // decided: a pair names them by their short names, which only a folder that exists has.
    CreateDirectoryW(w.makerDir.c_str(), nullptr);
    CreateDirectoryW(w.sharedDir.c_str(), nullptr);
    DropPending([&w](const std::wstring& source, const std::wstring& target) {
        return IsOurs(source, w) || IsOurs(target, w);
    });
    for (const std::wstring& dir : {w.makerDir, w.sharedDir, std::wstring(kForeignDir)})
        RemoveTree(dir);
    // msiexec runs the installer with the system's TEMP, where the self-delete copies wait for a restart
    // that no case reaches: eleven of them would take every name a copy may have.
    std::wstring temp = w.windowsDir + L"\\Temp\\";
    DeleteFileW((temp + L"TOVRAND64x86.EXE").c_str());
    for (int i = 0; i < 10; ++i)
        DeleteFileW((temp + L"tovrand" + std::to_wstring(i) + L".exe").c_str());
    SetWindowsVersion(L"");
}

std::vector<std::wstring> ForeignPending()
{
    std::wstring d = std::wstring(L"\\??\\") + kForeignDir + L"\\";
    return {d + L"a.tmp", L"", d + L"b.old", L"!" + d + L"b.new", d + L"PELLIMAR64x86.SYS", L""};
}

void PlaceBystanders()
{
    WriteRaw(kSharedDlls, (std::wstring(kForeignDir) + L"\\foreign.dll").c_str(), Dword(7));
    WriteRaw(kSharedDlls, (std::wstring(kForeignDir) + L"\\other.dll").c_str(), Sz(L"3"));
    CreateDirectoryW(kForeignDir, nullptr);
    for (const wchar_t* name : {L"a.tmp", L"b.old", L"PELLIMAR64x86.SYS"})
        WriteFileBytes(std::wstring(kForeignDir) + L"\\" + name, "foreign");
    std::vector<std::wstring> pending = PendingStrings(), foreign = ForeignPending();
    pending.insert(pending.end(), foreign.begin(), foreign.end());
    SetPending(pending);
}

State Describe(const Locations& w, const std::vector<std::wstring>& baseline)
{
    State s;
    s["count"] = Value(kSharedDlls, (w.driversDir + L"\\PELLIMAR64x86.SYS").c_str());
    s["maker"] = Value(kSharedDlls, (w.makerDir + L"\\PELLIMAR64x86.SYS").c_str());
    s["usage"] = Value(kSharedDlls, (w.sharedDir + L"\\TOVRAND64x86.EXE").c_str());
    bool exists = false;
    std::vector<std::string> products;
    // A run that stopped while it changed the counts leaves its change in the product's key.
    for (const std::wstring& p : Names(kPellimarKey, true, &exists))
        products.push_back(Narrow(p) + "(" + Value(std::wstring(kPellimarKey) + L"\\" + p, L"Dir1") +
                           (ReadRaw(std::wstring(kPellimarKey) + L"\\" + p, L"CountChange").exists ? " change)" : ")"));
    s["products"] = exists ? Join(products) : "absent";
    s["sharedusage"] = ValueNames(kSharedUsage);
    s["listed"] = ValueNames(kInstalledApps);
    s["entry"] = Value(kUninstallKey, L"QuietUninstallString");
    s["service"] = Service();
    s["limit"] = Value(kLanmanKey, L"CachedOpenLimit");
    std::vector<std::string> drivers;
    for (const wchar_t* name : kDriverNames)
        if (FileExists(w.driversDir + L"\\" + name))
            drivers.push_back(Narrow(name));
    s["drivers"] = Join(drivers);
    s["makerdir"] = Listing(w.makerDir);
    s["shared"] = Listing(w.sharedDir);
    s["manifests"] = Listing(w.manifestsDir);
    // Pairs added since the baseline, in the list's order, then those of the baseline that are gone.
    std::vector<std::string> before = Pairs(baseline), changes;
    for (const std::string& pair : Pairs(PendingStrings()))
    {
        auto known = std::find(before.begin(), before.end(), pair);
        known != before.end() ? (void)before.erase(known) : changes.push_back(pair);
    }
    for (const std::string& lost : before)
        changes.push_back("lost " + lost);
    s["pending"] = Join(changes, false);
    s["qz"] = Names(kQuazelKey, false).empty() ? "absent" : Value(kQuazelKey, L"Registered") + " " +
                                                              Value(kQuazelKey, L"RunCount") + " " +
                                                              Value(kQuazelKey, L"LastCommandLine");
    std::string foreign;
    for (const std::wstring& name : Names(kSharedDlls, false))
        if (Contains(name, kForeignDir))
            foreign += Narrow(name) + "=" + Value(kSharedDlls, name.c_str()) + " ";
    s["foreign"] =
        foreign == "C:\\TovrandForeign\\foreign.dll=dword:7 C:\\TovrandForeign\\other.dll=3 " ? "kept" : foreign;
    return s;
}

std::string Show(const State& state)
{
    std::string out;
    for (const auto& field : state)
        out += "  " + field.first + ": '" + field.second + "'\n";
    return out;
}

int UpdaterRuns()
{
    RawValue v = ReadRaw(kQuazelKey, L"RunCount");
    return v.exists && v.bytes.size() == 4 ? static_cast<int>(*reinterpret_cast<const DWORD*>(v.bytes.data())) : 0;
}

State Expected(const Locations& w, const std::string& outline, bool xp, bool afterUninstall, int runsBefore)
{
    std::istringstream in(outline.substr(0, outline.find(';')));
    std::string kind, word;
    in >> kind;
    State s;
    for (const char* field : {"count", "maker", "usage", "products", "entry", "service", "limit", "makerdir", "shared",
                              "manifests", "qz"})
        s[field] = "absent";
    s["sharedusage"] = s["drivers"] = s["pending"] = "";
    s["foreign"] = "kept";
    std::vector<std::string> products;
    int count = 0, runs = runsBefore;
    while (in >> word)
        word[0] == 'q' ? runs = word[1] == '+' ? runsBefore + std::stoi(word.substr(2)) : std::stoi(word.substr(1))
                       : isdigit(static_cast<unsigned char>(word[0])) ? count = std::stoi(word)
                                                                       : (products.push_back("PRODUCT" + word), 0);
    bool registered = kind == "inst" || kind == "nodel";
    if (runs > 0)
        s["qz"] = (registered ? "dword:1 dword:" : "dword:0 dword:") + std::to_string(runs) +
                  (registered ? " /QZREG /64X86 /LOG" : " /QZUNREG /LOG");
    if (kind == "upd")
        s["makerdir"] = s["manifests"] = "", s["shared"] = "KVManifests";
    if (kind == "gone" || (kind == "upd" && runs > 0))
        s["limit"] = "dword:0";
    if (registered)
    {
        std::vector<std::string> keys;
        for (const std::string& p : products)
            keys.push_back(p + "(dword:1)");
        s["count"] = kind == "nodel" ? "absent" : std::to_string(count);
        s["maker"] = xp ? s["count"] : "absent";
        s["usage"] = "dword:500";
        s["products"] = kind == "nodel" ? "absent" : Join(keys);
        s["sharedusage"] = Join(products);
        s["entry"] = "\"" + Narrow(w.sharedDir) + "\\TOVRAND64x86.EXE\" /U /Q";
        s["service"] = "present type=1 start=3 error=1 image=" + Narrow(w.driversDir) + "\\PELLIMAR64x86.SYS";
        s["limit"] = "dword:0";
        s["drivers"] = "PELLIMAR64x86.CAT PELLIMAR64x86.INF PELLIMAR64x86.SYS";
        s["makerdir"] = xp ? s["drivers"] : afterUninstall ? "absent" : "";
        s["shared"] = "KVManifests TOVRAND64x86.EXE";
        s["manifests"] = "PELLMAR.GRD PELLMAR.KVM PELLMAR.SIG";
    }
    // Overrides: "; field=value" each.
    std::istringstream items(outline);
    for (std::string item; std::getline(items >> std::ws, item, ';');)
        if (item.find('=') != std::string::npos)
            s[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    return s;
}
}  // namespace harness
