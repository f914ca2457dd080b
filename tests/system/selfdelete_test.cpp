// Self-delete, the side of the temporary copy: the parsing of the self-delete mode and DoDelete
// against a file that another process holds for a while or for good.
#include <gtest/gtest.h>

#include <memory>

#include "harness.h"
#include "restart_schedule.h"
#include "scratch_registry.h"
#include "system/selfdelete.h"

using namespace harness;

namespace
{
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::string MarkedLine(const std::wstring& shortPath)
{
    return "  " + Narrow(shortPath) + " marked for deletion on reboot.";
}

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

class SelfDeleteTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // DoDelete removes the shared folder when it is empty: point it into the scratch directory.
        common = work.File(L"Common Files");
        shared = common + L"\\Norvatek Shared";
        CreateDirectoryW(common.c_str(), nullptr);
        CreateDirectoryW(shared.c_str(), nullptr);
        SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", common);
    }

    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> messages;
        for (const std::string& line : ReadLog(logDir.Path()))
            messages.push_back(MessageOf(line));
        DeleteFileW(logDir.File(L"PELLIMAR.LOG").c_str());
        return messages;
    }

    // The lines DoDelete ends with: this process's own file goes at the next restart.
    std::string OwnFileLine() { return MarkedLine(ShortPath(OwnPath())); }

    PendingRenamesGuard pending;
    ScratchDir logDir;
    ScratchDir work;
    TempRedirect redirect{logDir.Path()};
    ScratchRegistry registry;
    std::wstring common;
    std::wstring shared;
};

struct ModeCase
{
    const char* what;
    std::wstring (*commandLine)(const std::wstring& target, const std::wstring& other);
    BOOL result;
    bool deletesTarget;
};

const ModeCase kModeCases[] = {
    {"switch and quoted path", [](const std::wstring& t, const std::wstring&) { return L"/SELFDELETE \"" + t + L"\""; },
     TRUE, true},
    {"lower-case switch", [](const std::wstring& t, const std::wstring&) { return L"/selfdelete \"" + t + L"\""; },
     TRUE, true},
    {"mixed case after other text",
     [](const std::wstring& t, const std::wstring&) { return L"/Q /SelfDelete  \"" + t + L"\" trailing"; }, TRUE, true},
    {"quotes before the switch are the ones taken",
     [](const std::wstring& t, const std::wstring& o) { return L"\"" + t + L"\" /SELFDELETE \"" + o + L"\""; }, TRUE,
     true},
    {"no quotes", [](const std::wstring& t, const std::wstring&) { return L"/SELFDELETE " + t; }, TRUE, false},
    {"one quote", [](const std::wstring& t, const std::wstring&) { return L"/SELFDELETE \"" + t; }, TRUE, false},
    {"no switch", [](const std::wstring& t, const std::wstring&) { return L"\"" + t + L"\" /Q /SELFDELET"; }, FALSE,
     false},
};
}  // namespace

TEST_F(SelfDeleteTest, SelfDeleteModeTakesThePathBetweenTheFirstTwoQuotes)
{
    std::wstring folder = work.File(L"a b");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (const ModeCase& c : kModeCases)
    {
        SCOPED_TRACE(c.what);
        PendingRenamesGuard restoreAfterCase;
        auto before = PendingRenames();
        std::wstring target = folder + L"\\x y.exe";
        std::wstring other = work.File(L"other.exe");
        ASSERT_TRUE(WriteFileBytes(target, "MZ"));
        ASSERT_TRUE(WriteFileBytes(other, "MZ"));
        ASSERT_TRUE(CreateDirectoryW(shared.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);

        EXPECT_EQ(c.result, RunSelfDeleteMode(c.commandLine(target, other).c_str()));

        std::vector<std::string> expected;
        if (c.deletesTarget)
            expected = {"Doing Self-delete.", "DoDelete: Original file deleted (" + Narrow(target) + ").",
                        OwnFileLine()};
        EXPECT_EQ(expected, TakeLog());
        EXPECT_EQ(!c.deletesTarget, FileExists(target));
        EXPECT_TRUE(FileExists(other));
        // DoDelete also removes the empty shared folder and leaves its own file to the next restart.
        EXPECT_EQ(!c.deletesTarget, DirExists(shared));
        if (c.deletesTarget)
            EXPECT_TRUE(IsScheduledForDeletion(ShortPath(OwnPath())));
        else
            EXPECT_EQ(before, PendingRenames());
    }
    EXPECT_FALSE(RunSelfDeleteMode(nullptr));
}

TEST_F(SelfDeleteTest, SelfDeleteModeWithAnEmptyPathDeletesNothing)
{
    auto before = PendingRenames();
    EXPECT_TRUE(RunSelfDeleteMode(L"/SELFDELETE \"\""));
    EXPECT_EQ((std::vector<std::string>{"Doing Self-delete.", "DoDelete: invalid parameter", ""}), TakeLog());
    EXPECT_EQ(before, PendingRenames());
    EXPECT_TRUE(DirExists(shared));
}

TEST_F(SelfDeleteTest, DoDeleteOfAMissingFileReportsItDeleted)
{
    std::wstring path = work.File(L"already gone.exe");
    FileIdentity none = {};
    DoDelete(path.c_str(), &none);
    EXPECT_EQ((std::vector<std::string>{"DoDelete: Original file deleted (" + Narrow(path) + ").", OwnFileLine()}),
              TakeLog());
    EXPECT_FALSE(DirExists(shared));
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(OwnPath())));
}

TEST_F(SelfDeleteTest, DoDeleteWaitsForTheFileToBeReleased)
{
    std::wstring path = work.File(L"installer being ended.exe");
    ASSERT_TRUE(WriteFileBytes(path, "MZ"));
    FileHolder holder(path, 3000);
    ASSERT_TRUE(holder.Ready());
    ASSERT_FALSE(DeleteFileW(path.c_str()));
    FileIdentity identity;
    ASSERT_TRUE(GetFileIdentity(path.c_str(), &identity));

    DoDelete(path.c_str(), &identity);
    EXPECT_TRUE(holder.WaitReleased(0));
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ((std::vector<std::string>{"DoDelete: Original file deleted (" + Narrow(path) + ").", OwnFileLine()}),
              TakeLog());
}

// Slow: all 17 attempts are made, about 16 seconds.
TEST_F(SelfDeleteTest, DoDeleteLeavesAFileThatStaysHeldToTheNextRestart)
{
    std::wstring path = work.File(L"installer held for good.exe");
    ASSERT_TRUE(WriteFileBytes(path, "MZ"));
    std::wstring shortPath = ShortPath(path);
    ASSERT_NE(path, shortPath);
    FileHolder holder(path);
    ASSERT_TRUE(holder.Ready());

    FileIdentity identity;
    ASSERT_TRUE(GetFileIdentity(path.c_str(), &identity));
    DWORD start = GetTickCount();
    DoDelete(path.c_str(), &identity);
    DWORD elapsed = GetTickCount() - start;

    EXPECT_GE(elapsed, 15000u);
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ((std::vector<std::string>{"DoDelete: file not deleted, delete on reboot.", MarkedLine(shortPath),
                                        OwnFileLine()}),
              TakeLog());
    int file = ScheduledDeletionIndex(shortPath);
    int own = ScheduledDeletionIndex(ShortPath(OwnPath()));
    EXPECT_GE(file, 0);
    EXPECT_GT(own, file);
    EXPECT_FALSE(DirExists(shared));
}
