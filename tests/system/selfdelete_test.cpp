// The self-delete where no run of the installer reaches: the copy's own folder, the hold
// on the temporary copy from its writing to its start, a copy swapped in before the hold, and the copy's
// side, which deletes only the very file the ending run left. The installer file set up for deletion
// is a copy of plainload.exe, which does nothing with the self-delete command line.
#include <gtest/gtest.h>

#include <algorithm>

#include "unit.h"
#include "system/selfdelete.h"

using namespace harness;

namespace
{
class SelfDelete : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(CopyFileW((BinDir() + L"\\plainload.exe").c_str(), module.c_str(), FALSE)); }
    // The fallbacks and the copy's side schedule deletions in the machine's real pending list (MoveFileExW
    // ignores the HKLM redirection): it goes back as it was once every copy a test started has ended.
    void TearDown() override { WaitForInstallers(30000); SetPending(pending); }
    std::string Marked(std::wstring p) { return "  " + Narrow(ShortPath(p)) + " marked for deletion on reboot."; }

    std::vector<std::wstring> pending = PendingStrings();
    TempLog log;
    ScratchDir work;
    std::wstring module = work.File(L"TOVRAND64x86.EXE");
};

// What writing, deleting, renaming, overwriting and reading the held copy met.
std::vector<DWORD> g_seen;

// With a context, the installer is swapped in for the copy before the hold.
void Observe(SelfDeleteStage stage, const wchar_t* copy, void* swap)
{
    auto error = [](BOOL ok) { return ok ? 0 : GetLastError(); };
    auto open = [copy](DWORD access, DWORD share) {
        HANDLE file = CreateFileW(copy, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        return file != INVALID_HANDLE_VALUE && CloseHandle(file);
    };
    if (stage == SelfDeleteStage::Copied && swap != nullptr)
        CopyFileW(InstallerPath().c_str(), copy, FALSE);
    if (stage == SelfDeleteStage::Held)
        g_seen = {error(open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)),
                  error(DeleteFileW(copy)), error(MoveFileW(copy, (std::wstring(copy) + L"2").c_str())),
                  error(CopyFileW(InstallerPath().c_str(), copy, FALSE)), error(open(GENERIC_READ, FILE_SHARE_READ))};
}
}  // namespace

// Taken: how many of the copy's folder names ("tovrand.<pid>.<n>") a file or a folder holds already; all
// 100 leave no name. The file swapped in is the installer: started with the self-delete command line, it
// would delete the module. It is neither started nor left behind with its folder, and the module goes at
// the next restart.
TEST_F(SelfDelete, TheCopyGetsAFolderOfItsOwnAndIsHeldUntilItIsStartedButASwappedOneIsNot)
{
    const std::vector<std::string> started = {"SetUpDelete: Setup succeeded", ""};
    const std::vector<std::string> swapped = {"SetUpDelete: copy file failed", "", Marked(module)};
    const std::vector<std::string> full = {"SetUpDelete: Create unique file name failed", "", Marked(module)};
    struct Row { int taken; bool swap; };
    for (const Row& r : {Row{0, false}, Row{3, false}, Row{0, true}, Row{100, false}})
    {
        ScratchDir temp;
        auto folder = [&temp](int n) { return temp.File(L"tovrand." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                                        std::to_wstring(n)); };
        for (int n = 0; n < r.taken; ++n)
            n % 2 ? WriteFileBytes(folder(n), "taken") : CreateDirectoryW(folder(n).c_str(), nullptr);
        g_seen.clear();
        std::wstring dir = temp.Path() + (r.taken != 0 ? L"\\" : L"");   // with and without the separator
        bool fails = r.swap || r.taken == 100;
        EXPECT_EQ(fails ? 1u : 0u, SetUpDeleteWith(module.c_str(), dir.c_str(), Observe, r.swap ? &g_seen : nullptr));
        EXPECT_EQ((r.swap || fails ? std::vector<DWORD>() : std::vector<DWORD>{32, 32, 32, 32, 0}), g_seen) << r.taken;
        EXPECT_EQ(r.swap ? swapped : fails ? full : started, log.Take());
        WaitForInstallers(20000);
        std::string copy = ReadFileBytes(folder(r.taken) + L"\\TOVRAND64x86.EXE");
        EXPECT_TRUE((fails ? "" : ReadFileBytes(module)) == copy) << r.taken;
        EXPECT_EQ(!fails, DirExists(folder(r.taken))) << r.taken;
        EXPECT_TRUE(FileExists(module));
        for (int n = 1; n < r.taken; n += 2)
            EXPECT_EQ("taken", ReadFileBytes(folder(n)));
        std::vector<std::wstring> scheduled = PendingStrings();
        EXPECT_EQ(fails, std::count(scheduled.begin(), scheduled.end(), L"\\??\\" + ShortPath(module)) == 1);
    }
}

// The copy's side: the quoted path and the identity that follows it. A file that is no longer the one
// the run left, or that a later install claimed through its usage value, is left alone; so is a file
// that the command line does not identify.
TEST_F(SelfDelete, TheCopyDeletesOnlyTheFileTheRunLeft)
{
    ScratchRegistry hklm;   // no shared folder to clean up, and room for a usage value
    const std::wstring path = work.File(L"x y.exe"), other = path + L"2", full = L"/SELFDELETE \"%\" /FILEID:#";
    const std::string deleted = "DoDelete: Original file deleted (" + Narrow(path) + ").";
    const std::string replaced = "DoDelete: " + Narrow(path) + " has been replaced since, leaving it alone.";
    const std::string unknown = "DoDelete: the file to delete is not identified, leaving " + Narrow(path) + " alone.";
    enum Change { None, Gone, Replaced, Claimed };
    struct Row
    {
        std::wstring line;
        Change change;
        BOOL mode;
        std::string result;
    };
    const Row rows[] = {
        {.line = full, .change = None, .mode = TRUE, .result = deleted},
        {.line = full, .change = Gone, .mode = TRUE, .result = deleted},
        {.line = full, .change = Replaced, .mode = TRUE, .result = replaced},
        {.line = full, .change = Claimed, .mode = TRUE, .result = replaced},
        {.line = L"/SELFDELETE \"%\"", .change = None, .mode = TRUE, .result = unknown},
        {.line = L"/SELFDELETE \"%\" /FILEID:12345", .change = None, .mode = TRUE, .result = unknown},
        {.line = L"\"%\" /FILEID:#", .change = None, .mode = FALSE, .result = ""},
        // No closing quote: nothing to delete.
        {.line = L"/SELFDELETE \"%", .change = None, .mode = TRUE, .result = ""},
    };
    wchar_t own[MAX_PATH];
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    for (const Row& r : rows)
    {
        FileIdentity id;
        ASSERT_TRUE(WriteFileBytes(path, "MZ") && GetFileIdentity(path.c_str(), &id));
        if (r.change == Gone)
            DeleteFileW(path.c_str());
        if (r.change == Replaced)   // made while the old file exists: another file index
            WriteFileBytes(other, "MZ"), MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        WriteRaw(kSharedDlls, path.c_str(), r.change == Claimed ? Sz(L"1") : RawValue());
        wchar_t hex[32];
        wsprintfW(hex, L"%08X%08X%08X", id.volume, id.indexHigh, id.indexLow);
        std::wstring line = std::wstring(r.line).replace(r.line.find(L'%'), 1, path);
        if (line.find(L'#') != std::wstring::npos)
            line.replace(line.find(L'#'), 1, hex);
        EXPECT_EQ(r.mode, RunSelfDeleteMode(line.c_str())) << Narrow(line);
        // The test program is no copy in the temporary directory: it does not schedule its own file.
        const std::vector<std::string> expected = {"Doing Self-delete.", r.result,
                                                   "DoDelete: " + Narrow(own) + " is no temporary copy, leaving it."};
        EXPECT_EQ(r.result.empty() ? std::vector<std::string>() : expected, log.Take()) << Narrow(line);
        EXPECT_EQ(r.result != deleted, FileExists(path)) << Narrow(line);
    }
}
