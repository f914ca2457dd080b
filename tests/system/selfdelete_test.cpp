// The self-delete where no run of the installer reaches: the choice among the eleven names and the hold
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
    std::string Marked(std::wstring p) { return "  " + Narrow(ShortPath(p)) + " marked for deletion on reboot."; }

    PendingGuard pending;   // the fallbacks and the copy's side schedule deletions at the next restart
    TempLog log;
    ScratchDir work;
    std::wstring module = work.File(L"TOVRAND64x86.EXE");
};

// What writing, deleting, renaming, overwriting and reading the held copy met.
std::vector<DWORD> g_seen;

void TryToChange(SelfDeleteStage stage, const wchar_t* copy, void*)
{
    auto error = [](BOOL ok) { return ok ? 0 : GetLastError(); };
    auto open = [copy](DWORD access, DWORD share) {
        HANDLE file = CreateFileW(copy, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        return file != INVALID_HANDLE_VALUE && CloseHandle(file);
    };
    if (stage == SelfDeleteStage::Held)
        g_seen = {error(open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)),
                  error(DeleteFileW(copy)), error(MoveFileW(copy, (std::wstring(copy) + L"2").c_str())),
                  error(CopyFileW(InstallerPath().c_str(), copy, FALSE)), error(open(GENERIC_READ, FILE_SHARE_READ))};
}
}  // namespace

// Taken names: E stands for TOVRAND64x86.EXE, a digit for that tovrand<digit>.exe.
TEST_F(SelfDelete, TheCopyTakesTheFirstFreeNameAndIsHeldUntilItIsStarted)
{
    auto name = [](wchar_t c) { return c == L'E' ? L"TOVRAND64x86.EXE" : L"tovrand" + std::wstring(1, c) + L".exe"; };
    const wchar_t* const rows[][2] = {{L"", L"E"}, {L"E0", L"1"}, {L"E1", L"0"}, {L"0", L"E"}, {L"E012345678", L"9"}};
    for (const auto& r : rows)
    {
        ScratchDir temp;
        for (const wchar_t* taken = r[0]; *taken != L'\0'; ++taken)
            WriteFileBytes(temp.File(name(*taken)), "taken");
        g_seen.clear();
        EXPECT_EQ(0u, SetUpDeleteWith(module.c_str(), (temp.Path() + L"\\").c_str(), TryToChange, nullptr));
        EXPECT_EQ((std::vector<DWORD>{32, 32, 32, 32, 0}), g_seen) << Narrow(r[0]);
        EXPECT_EQ((std::vector<std::string>{"SetUpDelete: Setup succeeded", ""}), log.Take());
        WaitForInstallers(20000);
        EXPECT_TRUE(ReadFileBytes(module) == ReadFileBytes(temp.File(name(r[1][0])))) << Narrow(r[0]);
        for (const wchar_t* taken = r[0]; *taken != L'\0'; ++taken)
            EXPECT_EQ("taken", ReadFileBytes(temp.File(name(*taken))));
    }
}

// The file swapped in is the installer: started with the self-delete command line, it would delete the
// module. It is neither started nor left behind, and the module goes at the next restart.
TEST_F(SelfDelete, ACopySwappedBeforeTheHoldIsNeitherStartedNorLeft)
{
    ScratchDir temp;
    auto swap = [](SelfDeleteStage stage, const wchar_t* copy, void*) {
        if (stage == SelfDeleteStage::Copied)
            CopyFileW(InstallerPath().c_str(), copy, FALSE);
    };
    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), temp.Path().c_str(), swap, nullptr));
    WaitForInstallers(20000);
    EXPECT_FALSE(FileExists(temp.File(L"TOVRAND64x86.EXE")));
    EXPECT_TRUE(FileExists(module));
    EXPECT_EQ((std::vector<std::string>{"SetUpDelete: copy file failed", "", Marked(module)}), log.Take());
    std::vector<std::wstring> scheduled = PendingStrings();
    EXPECT_NE(scheduled.end(), std::find(scheduled.begin(), scheduled.end(), L"\\??\\" + ShortPath(module)));
}

// The copy's side: the quoted path and the identity that follows it. A file that is no longer the one
// the run left, or that a later install claimed through its usage value, is left alone; so is a file
// that the command line does not identify.
TEST_F(SelfDelete, TheCopyDeletesOnlyTheFileTheRunLeft)
{
    ScratchRegistry hklm;   // no shared folder to clean up, and room for a usage value
    const std::wstring path = work.File(L"x y.exe");
    const std::string deleted = "DoDelete: Original file deleted (%).";
    const std::string replaced = "DoDelete: % has been replaced since, leaving it alone.";
    const std::string unknown = "DoDelete: the file to delete is not identified, leaving % alone.";
    enum Change { None, Gone, Replaced, Claimed };
    struct Row { const wchar_t* line; Change change; BOOL mode; std::string result; };
    const Row rows[] = {
        {L"/SELFDELETE \"%\" /FILEID:#", None, TRUE, deleted}, {L"/SELFDELETE \"%\" /FILEID:#", Gone, TRUE, deleted},
        {L"/SELFDELETE \"%\" /FILEID:#", Replaced, TRUE, replaced},
        {L"/SELFDELETE \"%\" /FILEID:#", Claimed, TRUE, replaced}, {L"/SELFDELETE \"%\"", None, TRUE, unknown},
        {L"/SELFDELETE \"%\" /FILEID:12345", None, TRUE, unknown}, {L"\"%\" /FILEID:#", None, FALSE, ""},
        {L"/SELFDELETE \"%", None, TRUE, ""},   // no closing quote: nothing to delete
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
        {
            WriteFileBytes(path + L"2", "MZ");
            MoveFileExW((path + L"2").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        if (r.change == Claimed)
            WriteRaw(kSharedDlls, path.c_str(), Sz(L"1"));
        wchar_t hex[32];
        wsprintfW(hex, L"%08X%08X%08X", id.volume, id.indexHigh, id.indexLow);
        std::wstring line = std::wstring(r.line).replace(std::wstring(r.line).find(L'%'), 1, path);
        if (line.find(L'#') != std::wstring::npos)
            line.replace(line.find(L'#'), 1, hex);
        EXPECT_EQ(r.mode, RunSelfDeleteMode(line.c_str())) << Narrow(line);
        std::vector<std::string> expected;
        if (!r.result.empty())
            expected = {"Doing Self-delete.", std::string(r.result).replace(r.result.find('%'), 1, Narrow(path)),
                        Marked(own)};
        EXPECT_EQ(expected, log.Take()) << Narrow(line);
        EXPECT_EQ(r.result != deleted, FileExists(path)) << Narrow(line);
        WriteRaw(kSharedDlls, path.c_str(), RawValue());
    }
}
