// The set-up of the self-delete: the temporary copy's name and directory, the fallback to the next
// restart, and the hold on the copy between writing and starting it. The "installer" copied is a
// helper program (cmdlinedump.exe) that only writes down how it was started.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "harness.h"
#include "restart_schedule.h"
#include "system/selfdelete.h"

using namespace harness;

namespace
{
const wchar_t kCmdLineVariable[] = L"TOVRAND_TEST_CMDLINE_FILE";
const wchar_t* const kElevenNames[] = {L"TOVRAND64x86.EXE", L"tovrand0.exe", L"tovrand1.exe", L"tovrand2.exe",
                                       L"tovrand3.exe",     L"tovrand4.exe", L"tovrand5.exe", L"tovrand6.exe",
                                       L"tovrand7.exe",     L"tovrand8.exe", L"tovrand9.exe"};

std::string MarkedLine(const std::wstring& shortPath)
{
    return "  " + Narrow(shortPath) + " marked for deletion on reboot.";
}

std::vector<std::wstring> Names(const std::wstring& dir)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if (lstrcmpW(found.cFileName, L".") != 0 && lstrcmpW(found.cFileName, L"..") != 0)
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// True once nobody runs or holds the file any more.
bool IsFree(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    CloseHandle(file);
    return true;
}

bool WaitUntil(bool (*done)(const std::wstring&), const std::wstring& path, DWORD timeoutMs = 20000)
{
    for (DWORD waited = 0; !done(path); waited += 50)
    {
        if (waited >= timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

bool Exists(const std::wstring& path)
{
    return FileExists(path);
}

class SetUpDeleteTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        moduleDir = work.File(L"installer folder");
        ASSERT_TRUE(CreateDirectoryW(moduleDir.c_str(), nullptr));
        module = moduleDir + L"\\TOVRAND64x86.EXE";
        ASSERT_TRUE(CopyFileW((BinDir() + L"\\cmdlinedump.exe").c_str(), module.c_str(), FALSE));
        temp = work.File(L"user temp");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        cmdFile = work.File(L"command line.bin");
        SetEnvironmentVariableW(kCmdLineVariable, cmdFile.c_str());
    }

    void TearDown() override { SetEnvironmentVariableW(kCmdLineVariable, nullptr); }

    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> messages;
        for (const std::string& line : ReadLog(logDir.Path()))
            messages.push_back(MessageOf(line));
        DeleteFileW(logDir.File(L"PELLIMAR.LOG").c_str());
        return messages;
    }

    // What the started copy at copyPath saw as its command line, once it has ended.
    std::wstring StartedCommandLine(const std::wstring& copyPath)
    {
        if (!WaitUntil(Exists, cmdFile) || !WaitUntil(IsFree, copyPath))
            return L"<not started>";
        std::string bytes = ReadFileBytes(cmdFile);
        DeleteFileW(cmdFile.c_str());
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }

    std::wstring ExpectedCommandLine() const { return L"tovrand /SELFDELETE \"" + module + L"\""; }

    std::vector<std::string> FallbackLog(const char* failure) const
    {
        return {failure, "", MarkedLine(ShortPath(module))};
    }

    PendingRenamesGuard pending;
    ScratchDir logDir;
    ScratchDir work;
    TempRedirect redirect{logDir.Path()};
    std::wstring moduleDir;
    std::wstring module;
    std::wstring temp;
    std::wstring cmdFile;
};
}  // namespace

TEST_F(SetUpDeleteTest, StartsTheCopyWithTheInstallerPathOnItsCommandLine)
{
    auto before = PendingRenames();
    // As GetTempPathW gives it: with a trailing separator.
    EXPECT_EQ(0u, SetUpDeleteWith(module.c_str(), (temp + L"\\").c_str(), nullptr, nullptr));
    EXPECT_EQ((std::vector<std::string>{"SetUpDelete: Setup succeeded", ""}), TakeLog());
    std::wstring copy = temp + L"\\TOVRAND64x86.EXE";
    EXPECT_EQ(ExpectedCommandLine(), StartedCommandLine(copy));
    EXPECT_EQ(std::vector<std::wstring>{L"TOVRAND64x86.EXE"}, Names(temp));
    EXPECT_EQ(ReadFileBytes(module), ReadFileBytes(copy));
    EXPECT_TRUE(FileExists(module));
    EXPECT_EQ(before, PendingRenames());
}

namespace
{
struct NameCase
{
    std::vector<const wchar_t*> taken;
    const wchar_t* expected;
};
}  // namespace

TEST_F(SetUpDeleteTest, CopyTakesTheFirstFreeOfTheElevenNames)
{
    const NameCase cases[] = {
        {{}, L"TOVRAND64x86.EXE"},
        {{L"TOVRAND64x86.EXE", L"tovrand0.exe"}, L"tovrand1.exe"},
        {{L"TOVRAND64x86.EXE", L"tovrand1.exe"}, L"tovrand0.exe"},
        {{L"tovrand0.exe"}, L"TOVRAND64x86.EXE"},
        {{L"TOVRAND64x86.EXE", L"tovrand0.exe", L"tovrand1.exe", L"tovrand2.exe", L"tovrand3.exe", L"tovrand4.exe",
          L"tovrand5.exe", L"tovrand6.exe", L"tovrand7.exe", L"tovrand8.exe"},
         L"tovrand9.exe"},
    };
    int n = 0;
    for (const NameCase& c : cases)
    {
        SCOPED_TRACE(Narrow(c.expected));
        std::wstring dir = work.File(L"temp " + std::to_wstring(++n));
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
        std::vector<std::wstring> names;
        for (const wchar_t* name : c.taken)
        {
            ASSERT_TRUE(WriteFileBytes(dir + L"\\" + name, "taken"));
            names.push_back(name);
        }
        names.push_back(c.expected);
        std::sort(names.begin(), names.end());

        EXPECT_EQ(0u, SetUpDeleteWith(module.c_str(), dir.c_str(), nullptr, nullptr));
        EXPECT_EQ(ExpectedCommandLine(), StartedCommandLine(dir + L"\\" + c.expected));
        EXPECT_EQ(names, Names(dir));
        for (const wchar_t* name : c.taken)
            EXPECT_EQ("taken", ReadFileBytes(dir + L"\\" + name));
        TakeLog();
    }
}

TEST_F(SetUpDeleteTest, AllElevenNamesTakenFallsBackToTheNextRestart)
{
    for (const wchar_t* name : kElevenNames)
        ASSERT_TRUE(WriteFileBytes(temp + L"\\" + name, "taken"));
    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), temp.c_str(), nullptr, nullptr));
    EXPECT_EQ(FallbackLog("SetUpDelete: Create unique file name failed"), TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(module)));
    EXPECT_EQ(11u, Names(temp).size());
    EXPECT_FALSE(FileExists(cmdFile));
}

TEST_F(SetUpDeleteTest, DirectoryNamedLikeTheCopyMakesTheCopyFail)
{
    ASSERT_TRUE(CreateDirectoryW((temp + L"\\TOVRAND64x86.EXE").c_str(), nullptr));
    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), temp.c_str(), nullptr, nullptr));
    EXPECT_EQ(FallbackLog("SetUpDelete: copy file failed"), TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(module)));
    EXPECT_EQ(std::vector<std::wstring>{L"TOVRAND64x86.EXE"}, Names(temp));
}

TEST_F(SetUpDeleteTest, TemporaryDirectoryIsCreatedOrRefused)
{
    std::wstring missing = work.File(L"new temp");
    std::wstring tooLong = work.Path() + L"\\";
    tooLong += std::wstring(249 - tooLong.size(), L'd');
    std::wstring blocked = work.File(L"blocked temp");
    ASSERT_TRUE(WriteFileBytes(blocked, "a file where the directory should be"));

    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), nullptr, nullptr, nullptr));
    EXPECT_EQ(FallbackLog("SetUpDelete: GetTempPath() failed"), TakeLog());

    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), (tooLong + L"\\").c_str(), nullptr, nullptr));
    EXPECT_EQ(FallbackLog("SetUpDelete: Temp Path does not exist, can't be created - failed"), TakeLog());
    EXPECT_FALSE(DirExists(tooLong));

    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), blocked.c_str(), nullptr, nullptr));
    EXPECT_EQ(FallbackLog("SetUpDelete: Create Temp Path does not exist, can't be created - failed"), TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(module)));

    EXPECT_EQ(0u, SetUpDeleteWith(module.c_str(), (missing + L"\\").c_str(), nullptr, nullptr));
    EXPECT_EQ((std::vector<std::string>{"SetUpDelete: Setup succeeded", ""}), TakeLog());
    EXPECT_EQ(ExpectedCommandLine(), StartedCommandLine(missing + L"\\TOVRAND64x86.EXE"));
}

TEST_F(SetUpDeleteTest, ReadOnlyInstallerFileIsMadeWritable)
{
    ASSERT_TRUE(SetFileAttributesW(module.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(0u, SetUpDeleteWith(module.c_str(), temp.c_str(), nullptr, nullptr));
    DWORD attributes = GetFileAttributesW(module.c_str());
    EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_HIDDEN);
    std::wstring copy = temp + L"\\TOVRAND64x86.EXE";
    EXPECT_EQ(ExpectedCommandLine(), StartedCommandLine(copy));
    EXPECT_EQ(0u, GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_READONLY);
    // So the started copy can delete it.
    EXPECT_TRUE(DeleteFileW(module.c_str()));
}

namespace
{
struct HeldWindow
{
    int copiedCalls = 0;
    int heldCalls = 0;
    DWORD writeOpen = 0;
    DWORD deleteFile = 0;
    DWORD rename = 0;
    DWORD overwrite = 0;
    bool readOpen = false;
    std::wstring other;
};

DWORD ErrorOf(BOOL ok)
{
    return ok ? 0 : GetLastError();
}

void TryToReplace(SelfDeleteStage stage, const wchar_t* copyPath, void* context)
{
    HeldWindow* seen = static_cast<HeldWindow*>(context);
    if (stage == SelfDeleteStage::Copied)
    {
        ++seen->copiedCalls;
        return;
    }
    ++seen->heldCalls;
    HANDLE file = CreateFileW(copyPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    seen->writeOpen = ErrorOf(file != INVALID_HANDLE_VALUE);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    seen->deleteFile = ErrorOf(DeleteFileW(copyPath));
    seen->rename = ErrorOf(MoveFileExW(copyPath, (std::wstring(copyPath) + L".moved").c_str(), 0));
    seen->overwrite = ErrorOf(CopyFileW(seen->other.c_str(), copyPath, FALSE));
    // Reading stays shared: that is what starting the program needs.
    file = CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    seen->readOpen = file != INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}
}  // namespace

TEST_F(SetUpDeleteTest, CopyCannotBeReplacedBeforeItIsStarted)
{
    HeldWindow seen;
    seen.other = work.File(L"impostor.exe");
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\holdfile.exe").c_str(), seen.other.c_str(), FALSE));

    EXPECT_EQ(0u, SetUpDeleteWith(module.c_str(), temp.c_str(), TryToReplace, &seen));
    EXPECT_EQ(1, seen.copiedCalls);
    EXPECT_EQ(1, seen.heldCalls);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), seen.writeOpen);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), seen.deleteFile);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), seen.rename);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), seen.overwrite);
    EXPECT_TRUE(seen.readOpen);

    std::wstring copy = temp + L"\\TOVRAND64x86.EXE";
    EXPECT_EQ(ExpectedCommandLine(), StartedCommandLine(copy));
    EXPECT_EQ(ReadFileBytes(module), ReadFileBytes(copy));
    EXPECT_EQ(std::vector<std::wstring>{L"TOVRAND64x86.EXE"}, Names(temp));
}

namespace
{
void SwapBeforeHold(SelfDeleteStage stage, const wchar_t* copyPath, void* context)
{
    if (stage == SelfDeleteStage::Copied)
        WriteFileBytes(copyPath, *static_cast<std::string*>(context));
}
}  // namespace

// In the moment between the copy and the hold the file could still be swapped: what is held is
// checked before it is started, and a stranger's file is left alone.
TEST_F(SetUpDeleteTest, SwappedCopyIsNeitherStartedNorDeleted)
{
    // The installer is now a program that would not write down its start; the impostor would.
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\holdfile.exe").c_str(), module.c_str(), FALSE));
    std::string impostor = ReadFileBytes(BinDir() + L"\\cmdlinedump.exe");
    ASSERT_FALSE(impostor.empty());

    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), temp.c_str(), SwapBeforeHold, &impostor));
    EXPECT_EQ(FallbackLog("SetUpDelete: copy file failed"), TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(module)));
    std::wstring copy = temp + L"\\TOVRAND64x86.EXE";
    EXPECT_EQ(impostor, ReadFileBytes(copy));
    Sleep(1000);
    EXPECT_FALSE(FileExists(cmdFile));
}

TEST_F(SetUpDeleteTest, CopyThatCannotBeStartedIsDeleted)
{
    ASSERT_TRUE(WriteFileBytes(module, "This is no program."));
    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), temp.c_str(), nullptr, nullptr));
    EXPECT_EQ(FallbackLog("SetUpDelete: CreateProcess failed"), TakeLog());
    EXPECT_TRUE(Names(temp).empty());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(module)));
}

namespace
{
// Another process opens the copy while this one holds it, sharing reading but not deletion.
void HoldFromOutside(SelfDeleteStage stage, const wchar_t* copyPath, void* context)
{
    if (stage == SelfDeleteStage::Held)
        static_cast<std::unique_ptr<FileHolder>*>(context)->reset(new FileHolder(copyPath, 0, FILE_SHARE_READ));
}
}  // namespace

TEST_F(SetUpDeleteTest, CopyThatCannotBeStartedNorDeletedGoesAtTheNextRestart)
{
    ASSERT_TRUE(WriteFileBytes(module, "This is no program."));
    std::unique_ptr<FileHolder> holder;
    EXPECT_EQ(1u, SetUpDeleteWith(module.c_str(), temp.c_str(), HoldFromOutside, &holder));
    ASSERT_TRUE(holder != nullptr && holder->Ready());
    std::wstring copyShort = ShortPath(temp + L"\\TOVRAND64x86.EXE");
    ASSERT_FALSE(copyShort.empty());
    EXPECT_EQ((std::vector<std::string>{"SetUpDelete: CreateProcess failed", "", MarkedLine(copyShort),
                                        "SetUpDelete: Temp file delete failed. Marked for delete.", "",
                                        MarkedLine(ShortPath(module))}),
              TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(copyShort));
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(module)));
}

// The public entry takes the running program and the temporary directory of the process: with every
// name taken there, the test program itself is what gets scheduled (and put back by the guard).
TEST_F(SetUpDeleteTest, SetUpDeleteWorksOnTheRunningProgramAndTheTempDirectory)
{
    for (const wchar_t* name : kElevenNames)
        ASSERT_TRUE(WriteFileBytes(logDir.File(name), "taken"));
    wchar_t own[MAX_PATH];
    GetModuleFileNameW(nullptr, own, MAX_PATH);

    EXPECT_EQ(1u, SetUpDelete());
    EXPECT_EQ((std::vector<std::string>{"SetUpDelete: Create unique file name failed", "", MarkedLine(ShortPath(own))}),
              TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(own)));
}
