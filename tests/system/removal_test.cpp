// File and directory removal on the real file system: files held by another process, read-only
// files, dot names, the pending-rename list that MoveFileExW really writes, the shared folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "harness.h"
#include "restart_schedule.h"
#include "scratch_registry.h"
#include "system/removal.h"

using namespace harness;

namespace
{
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

class RemovalTest : public ::testing::Test
{
protected:
    // Log lines without their headers; the log is cleared after each read.
    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> messages;
        for (const std::string& line : ReadLog(logDir.Path()))
            messages.push_back(MessageOf(line));
        DeleteFileW(logDir.File(L"PELLIMAR.LOG").c_str());
        return messages;
    }

    std::wstring MakeFile(const std::wstring& name, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        std::wstring path = work.File(name);
        WriteFileBytes(path, "content");
        SetFileAttributesW(path.c_str(), attributes);
        return path;
    }

    PendingRenamesGuard pending;
    ScratchDir logDir;
    ScratchDir work;
    TempRedirect redirect{logDir.Path()};
};

std::string MarkedLine(const std::wstring& shortPath)
{
    return "  " + Narrow(shortPath) + " marked for deletion on reboot.";
}

std::string DeletingLine(const std::wstring& path, const char* outcome)
{
    return "  Deleting " + Narrow(path) + "..." + outcome;
}

enum class Setup { Missing, Plain, HeldByOtherProcess, ReadOnly, DotName };
enum class Outcome { Silent, Deleted, LeftAlone, Scheduled };

struct DeleteCase
{
    const char* what;
    Setup setup;
    BOOL markOnReboot;
    Outcome outcome;
};

const DeleteCase kDeleteCases[] = {
    {"missing file", Setup::Missing, FALSE, Outcome::Silent},
    {"missing file, mark", Setup::Missing, TRUE, Outcome::Silent},
    {"plain file", Setup::Plain, FALSE, Outcome::Deleted},
    {"plain file, mark", Setup::Plain, TRUE, Outcome::Deleted},
    {"held by another process", Setup::HeldByOtherProcess, FALSE, Outcome::LeftAlone},
    {"held by another process, mark", Setup::HeldByOtherProcess, TRUE, Outcome::Scheduled},
    {"read-only", Setup::ReadOnly, FALSE, Outcome::LeftAlone},
    {"read-only, mark", Setup::ReadOnly, TRUE, Outcome::Scheduled},
    {"dot name", Setup::DotName, FALSE, Outcome::Silent},
    {"dot name, mark", Setup::DotName, TRUE, Outcome::Silent},
};
}  // namespace

TEST_F(RemovalTest, DeleteFilesLogsEachOutcome)
{
    int n = 0;
    for (const DeleteCase& c : kDeleteCases)
    {
        SCOPED_TRACE(c.what);
        // Long names with blanks, so that the short form differs from the path.
        std::wstring path = work.File(L"removal target " + std::to_wstring(++n) + L".data");
        if (c.setup == Setup::DotName)
            path = work.File(L".removal target " + std::to_wstring(n));
        if (c.setup != Setup::Missing)
            ASSERT_TRUE(WriteFileBytes(path, "content"));
        if (c.setup == Setup::ReadOnly)
            ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        std::wstring shortPath = ShortPath(path);
        auto before = PendingRenames();
        {
            std::unique_ptr<FileHolder> holder;
            if (c.setup == Setup::HeldByOtherProcess)
            {
                holder.reset(new FileHolder(path));
                ASSERT_TRUE(holder->Ready());
            }
            DeleteFiles(path.c_str(), c.markOnReboot);
        }

        std::vector<std::string> expected;
        if (c.outcome == Outcome::Deleted)
            expected.push_back(DeletingLine(path, "Deleted."));
        if (c.outcome == Outcome::LeftAlone)
            expected.push_back(DeletingLine(path, "File in use.  Leaving it alone."));
        if (c.outcome == Outcome::Scheduled)
        {
            ASSERT_FALSE(shortPath.empty());
            ASSERT_NE(path, shortPath);
            expected.push_back(MarkedLine(shortPath));
        }
        EXPECT_EQ(expected, TakeLog());
        EXPECT_EQ(c.setup != Setup::Missing && c.outcome != Outcome::Deleted, FileExists(path));
        if (c.outcome == Outcome::Scheduled)
            EXPECT_TRUE(IsScheduledForDeletion(shortPath));
        else
            EXPECT_EQ(before, PendingRenames());
    }
}

TEST_F(RemovalTest, PatternDeletesEveryMatchButDotNamesAndSchedulesTheMatchedFile)
{
    std::wstring first = MakeFile(L"first match.tmp");
    std::wstring second = MakeFile(L"second match.tmp");
    std::wstring dotted = MakeFile(L".hidden match.tmp");
    std::wstring held = MakeFile(L"held match.tmp");
    std::wstring other = MakeFile(L"unrelated.txt");
    std::wstring heldShort = ShortPath(held);
    {
        FileHolder holder(held);
        ASSERT_TRUE(holder.Ready());
        DeleteFiles(work.File(L"*.tmp").c_str(), TRUE);
    }
    std::vector<std::string> log = TakeLog();
    std::sort(log.begin(), log.end());
    std::vector<std::string> expected = {DeletingLine(first, "Deleted."), DeletingLine(second, "Deleted."),
                                         MarkedLine(heldShort)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, log);
    EXPECT_FALSE(FileExists(first));
    EXPECT_FALSE(FileExists(second));
    EXPECT_TRUE(FileExists(dotted));
    EXPECT_TRUE(FileExists(other));
    // The file that matched is scheduled, not the pattern (which has no short form).
    EXPECT_TRUE(IsScheduledForDeletion(heldShort));
}

TEST_F(RemovalTest, DirectoryMatchedByPatternCountsAsInUse)
{
    std::wstring dir = work.File(L"subdirectory one");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    std::wstring pattern = work.File(L"subdirectory*");

    DeleteFiles(pattern.c_str(), FALSE);
    EXPECT_EQ(std::vector<std::string>{DeletingLine(dir, "File in use.  Leaving it alone.")}, TakeLog());

    DeleteFiles(pattern.c_str(), TRUE);
    EXPECT_EQ(std::vector<std::string>{MarkedLine(ShortPath(dir))}, TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(dir)));
    EXPECT_TRUE(DirExists(dir));
}

TEST_F(RemovalTest, MarkFileForDeletionOnRebootUsesTheShortPath)
{
    std::wstring path = MakeFile(L"a rather long file name.binary");
    std::wstring shortPath = ShortPath(path);
    ASSERT_NE(path, shortPath);

    EXPECT_TRUE(MarkFileForDeletionOnReboot(path.c_str()));
    EXPECT_EQ(std::vector<std::string>{MarkedLine(shortPath)}, TakeLog());
    EXPECT_TRUE(IsScheduledForDeletion(shortPath));
    EXPECT_FALSE(IsScheduledForDeletion(path));
    EXPECT_TRUE(FileExists(path));
}

TEST_F(RemovalTest, MarkFileForDeletionOnRebootOfAMissingPathSchedulesNothing)
{
    auto before = PendingRenames();
    EXPECT_TRUE(MarkFileForDeletionOnReboot(work.File(L"not there.bin").c_str()));
    EXPECT_TRUE(MarkFileForDeletionOnReboot(nullptr));
    // The line is written with an empty name; no bare "\??\" entry reaches the list.
    EXPECT_EQ((std::vector<std::string>{MarkedLine(L""), MarkedLine(L"")}), TakeLog());
    EXPECT_EQ(before, PendingRenames());
}

namespace
{
enum class Shared { Missing, Empty, HoldsAFile, IsAFile };

struct SharedCase
{
    const char* what;
    bool setValue;
    bool trailingSeparator;
    Shared shared;
};

const SharedCase kSharedCases[] = {
    {"no CommonFilesDir value", false, false, Shared::Empty},
    {"no shared folder", true, false, Shared::Missing},
    {"empty shared folder", true, false, Shared::Empty},
    {"empty shared folder, value ends in a separator", true, true, Shared::Empty},
    {"shared folder holds a file", true, false, Shared::HoldsAFile},
    {"shared folder holds a file, value ends in a separator", true, true, Shared::HoldsAFile},
    {"a file named like the shared folder", true, false, Shared::IsAFile},
};
}  // namespace

TEST_F(RemovalTest, RemoveSharedDirectory)
{
    int n = 0;
    for (const SharedCase& c : kSharedCases)
    {
        SCOPED_TRACE(c.what);
        std::wstring common = work.File(L"Common Files " + std::to_wstring(++n));
        ASSERT_TRUE(CreateDirectoryW(common.c_str(), nullptr));
        std::wstring shared = common + L"\\Norvatek Shared";
        if (c.shared == Shared::IsAFile)
            ASSERT_TRUE(WriteFileBytes(shared, "x"));
        else if (c.shared != Shared::Missing)
            ASSERT_TRUE(CreateDirectoryW(shared.c_str(), nullptr));
        if (c.shared == Shared::HoldsAFile)
            ASSERT_TRUE(WriteFileBytes(shared + L"\\TOVRAND64x86.EXE", "x"));
        auto before = PendingRenames();

        {
            ScratchRegistry registry;
            if (c.setValue)
                ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir",
                                      common + (c.trailingSeparator ? L"\\" : L"")));
            RemoveSharedDirectory();
        }

        std::vector<std::string> expected;
        if (c.shared == Shared::HoldsAFile)
        {
            expected.push_back("Cannot remove directory: " + Narrow(shared) + ", Error 145");
            expected.push_back(MarkedLine(ShortPath(shared)));
        }
        EXPECT_EQ(expected, TakeLog());
        bool stays = c.shared == Shared::HoldsAFile || (c.shared == Shared::Empty && !c.setValue);
        EXPECT_EQ(stays, DirExists(shared));
        EXPECT_EQ(c.shared == Shared::IsAFile, FileExists(shared));
        if (c.shared == Shared::HoldsAFile)
            EXPECT_TRUE(IsScheduledForDeletion(ShortPath(shared)));
        else
            EXPECT_EQ(before, PendingRenames());
    }
}

// A Common Files path so long that "Norvatek Shared" no longer fits would be cut to the name of some
// other folder; that folder must not be removed in its place.
TEST_F(RemovalTest, RemoveSharedDirectoryNeverRemovesACutPath)
{
    std::wstring common = work.Path() + L"\\";
    common += std::wstring(250 - common.size(), L'c');
    ASSERT_EQ(250u, common.size());
    // Longer than CreateDirectoryW takes without the \\?\ form.
    std::wstring cut = common + L"\\Norvatek";
    ASSERT_EQ(259u, cut.size());
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + common).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + cut).c_str(), nullptr));

    {
        ScratchRegistry registry;
        ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", common));
        RemoveSharedDirectory();
    }
    EXPECT_TRUE(DirExists(L"\\\\?\\" + cut));
    EXPECT_TRUE(TakeLog().empty());
    RemoveDirectoryW((L"\\\\?\\" + cut).c_str());
    RemoveDirectoryW((L"\\\\?\\" + common).c_str());
}
