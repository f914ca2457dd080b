// DLL planting: an elevated installer started from a folder that also holds DLLs under system names (a
// download folder, a product's setup directory) must take none of them, and its import table must name
// only DLLs that the loader always takes from the system.
#include <cstring>
#include <set>

#include "e2e.h"

using namespace harness;

namespace
{
const wchar_t kMarkerVariable[] = L"TOVRAND_PLANTED_MARKER";
const wchar_t* const kPlantedNames[] = {L"version.dll", L"comctl32.dll"};

std::wstring GetEnv(const wchar_t* name, bool* present)
{
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    *present = n > 0 && n < 1024;
    return *present ? std::wstring(buffer, n) : std::wstring();
}

// Sets an environment variable of this process (children inherit it) for the life of the object.
class ScopedEnv
{
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value) : m_name(name)
    {
        m_saved = GetEnv(name, &m_had);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableW(m_name, m_had ? m_saved.c_str() : nullptr); }

private:
    const wchar_t* m_name;
    std::wstring m_saved;
    bool m_had = false;
};

// Children start in this process's current directory: the planted folder is made that too, so that a
// search of the current directory would find the plants as well.
class ScopedCurrentDir
{
public:
    explicit ScopedCurrentDir(const std::wstring& dir)
    {
        wchar_t saved[MAX_PATH];
        DWORD n = GetCurrentDirectoryW(MAX_PATH, saved);
        m_saved.assign(saved, n < MAX_PATH ? n : 0);
        SetCurrentDirectoryW(dir.c_str());
    }
    ~ScopedCurrentDir() { SetCurrentDirectoryW(m_saved.c_str()); }

private:
    std::wstring m_saved;
};

// The planted names that a search reaching the folder really loads on this machine. Windows takes the
// first file found, so both. Wine takes its built-in DLL for a system name before any file on the search
// path; a per-program override "native,builtin" gives the Windows order, but only comctl32.dll can have
// it: Wine's own user32.dll imports version.dll (Windows' does not), so with version.dll native-first
// the loader takes the plant while it resolves user32's imports at process start, before the first
// instruction of any GUI program (the installer and an empty program alike), and the program then dies
// in user32's call to the plant. Under Wine the version.dll plant therefore stays in the folder but is
// never live, and its arm of the test proves something only on Windows.
std::vector<const wchar_t*> LiveNames()
{
    if (IsWine())
        return {L"comctl32.dll"};
    return {kPlantedNames[0], kPlantedNames[1]};
}

// Sets the Windows order for the live names of the given programs under Wine, for the life of the
// object. (The WINEDLLOVERRIDES variable would not do: Wine does not take it from the environment that a
// Windows parent passes to CreateProcessW.)
class ScopedNativeFirst
{
public:
    explicit ScopedNativeFirst(const std::vector<std::wstring>& programs)
    {
        if (!IsWine())
            return;
        for (const std::wstring& program : programs)
        {
            std::wstring key = L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides";
            for (const wchar_t* name : LiveNames())
            {
                std::wstring dll(name);
                SetString(HKEY_CURRENT_USER, key, dll.substr(0, dll.size() - 4).c_str(), L"native,builtin");
            }
            m_keys.push_back(key);
        }
    }
    ~ScopedNativeFirst()
    {
        for (const std::wstring& key : m_keys)
            DeleteTree(HKEY_CURRENT_USER, key);
    }

private:
    std::vector<std::wstring> m_keys;
};

// A folder holding the planted DLL under each system name, and the marker file it would write.
class PlantedFolder
{
public:
    PlantedFolder()
        : m_marker(m_markerDir.File(L"loaded.txt")),
          m_markerEnv(kMarkerVariable, m_marker),
          m_nativeFirst({L"TOVRAND64x86.EXE", L"plainload.exe"})
    {
        m_planted = true;
        for (const wchar_t* name : kPlantedNames)
            m_planted = CopyFileW((BinDir() + L"\\planted\\version.dll").c_str(), m_dir.File(name).c_str(), FALSE) &&
                        m_planted;
    }
    bool Planted() const { return m_planted; }
    const std::wstring& Path() const { return m_dir.Path(); }
    // Copies a program from the build directory into the folder; its new path.
    std::wstring Add(const std::wstring& source, const wchar_t* name) const
    {
        std::wstring copy = m_dir.File(name);
        return CopyFileW(source.c_str(), copy.c_str(), FALSE) ? copy : std::wstring();
    }
    // The paths that loaded a plant, one a line; empty when none was loaded.
    std::string Loaded() const { return ReadFileBytes(m_marker); }
    void Reset() const { DeleteFileW(m_marker.c_str()); }

private:
    ScratchDir m_dir;
    ScratchDir m_markerDir;
    std::wstring m_marker;
    ScopedEnv m_markerEnv;
    ScopedNativeFirst m_nativeFirst;
    bool m_planted = false;
};

// The DLL names of a PE image's import directory, read from the file's headers. False when the file is
// no well-formed PE32+ image; *delayImports is the size of the delay-load import directory.
bool ReadImports(const std::string& image, std::vector<std::string>* names, DWORD* delayImports)
{
    auto fits = [&image](size_t offset, size_t size) { return offset <= image.size() && size <= image.size() - offset; };
    IMAGE_DOS_HEADER dos;
    if (!fits(0, sizeof(dos)))
        return false;
    std::memcpy(&dos, image.data(), sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0)
        return false;
    size_t ntAt = static_cast<size_t>(dos.e_lfanew);
    IMAGE_NT_HEADERS64 nt;
    if (!fits(ntAt, sizeof(nt)))
        return false;
    std::memcpy(&nt, image.data() + ntAt, sizeof(nt));
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
        nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)
        return false;
    size_t sectionsAt = ntAt + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    if (!fits(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER)))
        return false;
    std::memcpy(sections.data(), image.data() + sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto offsetOf = [&sections](DWORD rva, size_t* offset) {
        for (const IMAGE_SECTION_HEADER& s : sections)
        {
            DWORD extent = s.Misc.VirtualSize > s.SizeOfRawData ? s.Misc.VirtualSize : s.SizeOfRawData;
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < extent && rva - s.VirtualAddress < s.SizeOfRawData)
            {
                *offset = s.PointerToRawData + (rva - s.VirtualAddress);
                return true;
            }
        }
        return false;
    };
    *delayImports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size;
    DWORD importRva = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    size_t at = 0;
    if (importRva == 0 || !offsetOf(importRva, &at))
        return false;
    for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR))
    {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        if (!fits(at, sizeof(descriptor)))
            return false;
        std::memcpy(&descriptor, image.data() + at, sizeof(descriptor));
        if (descriptor.Name == 0 && descriptor.FirstThunk == 0)
            return true;
        size_t nameAt = 0;
        if (!offsetOf(descriptor.Name, &nameAt))
            return false;
        size_t end = image.find('\0', nameAt);
        if (end == std::string::npos)
            return false;
        names->push_back(image.substr(nameAt, end - nameAt));
    }
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}
}  // namespace

class DllPlanting : public MachineTest
{
};

// The condition is real: a program that loads these names the plain way from that folder gets the
// plant, and the plant leaves its mark. Without this the installer's clean result below proves nothing.
TEST_F(DllPlanting, APlainLoadFromThePlantedFolderTakesThePlant)
{
    PlantedFolder folder;
    ASSERT_TRUE(folder.Planted());
    std::wstring probe = folder.Add(BinDir() + L"\\plainload.exe", L"plainload.exe");
    ASSERT_FALSE(probe.empty());
    ScopedCurrentDir cwd(folder.Path());
    for (const wchar_t* name : LiveNames())
    {
        SCOPED_TRACE(Narrow(name));
        folder.Reset();
        Process p = harness::Run(L"\"" + probe + L"\" " + name, L"");
        ASSERT_TRUE(p.finished);
        EXPECT_EQ(0u, p.exitCode);
        // The plant reports its long path; the temporary directory may be given in its short form.
        wchar_t longPath[MAX_PATH];
        DWORD n = GetLongPathNameW(folder.Path().c_str(), longPath, MAX_PATH);
        ASSERT_TRUE(n > 0 && n < MAX_PATH);
        EXPECT_EQ(Lower(Narrow(std::wstring(longPath, n) + L"\\" + name)) + "\r\n", Lower(folder.Loaded()));
    }
}

TEST_F(DllPlanting, InstallerBesidePlantedDllsLoadsNoneAndInstalls)
{
    PlantedFolder folder;
    ASSERT_TRUE(folder.Planted());
    std::wstring installer = folder.Add(InstallerPath(), L"TOVRAND64x86.EXE");
    ASSERT_FALSE(installer.empty());
    InstallerRun run;
    {
        ScopedCurrentDir cwd(folder.Path());
        run = RunCase(L"/Q /NOREGQZ PRODUCTA", installer);
    }
    EXPECT_EQ("", folder.Loaded()) << "the installer loaded a planted DLL";
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    Locations w = Where();
    EXPECT_EQ("1", MainCount());
    EXPECT_TRUE(ServiceExists());
    EXPECT_TRUE(FileExists(w.driversDir + L"\\PELLIMAR64x86.SYS"));
    EXPECT_TRUE(ReadFileBytes(installer) == ReadFileBytes(w.sharedDir + L"\\TOVRAND64x86.EXE"))
        << "the shared copy differs from the installer that ran";
    EXPECT_TRUE(run.Has("  File installed successfully: " + Narrow(w.driversDir) + "\\PELLIMAR64x86.SYS"));
}

// Every build of the installer imports only DLLs that Windows takes from the system directory whatever
// the folder holds (known DLLs), and delay-loads nothing: any other DLL goes through LoadSystemLibrary.
TEST(DllPlantingImports, InstallerImportsOnlySystemDlls)
{
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "advapi32.dll",
                                           "gdi32.dll",    "shlwapi.dll", "msvcrt.dll"};
    std::vector<std::wstring> builds = {InstallerPath()};
    for (const wchar_t* other : {L"\\release\\TOVRAND64x86.EXE", L"\\nopayload\\TOVRAND64x86.EXE"})
    {
        if (FileExists(BinDir() + other))
            builds.push_back(BinDir() + other);
    }
    for (const std::wstring& exe : builds)
    {
        SCOPED_TRACE(Narrow(exe));
        std::vector<std::string> names;
        DWORD delayImports = 0xFFFFFFFF;
        ASSERT_TRUE(ReadImports(ReadFileBytes(exe), &names, &delayImports));
        std::set<std::string> found;
        for (const std::string& name : names)
            found.insert(Lower(name));
        EXPECT_EQ(1u, found.count("kernel32.dll"));
        for (const std::string& name : found)
            EXPECT_EQ(1u, allowed.count(name)) << "imports " << name;
        EXPECT_EQ(0u, delayImports);
    }
}
