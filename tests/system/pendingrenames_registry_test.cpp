// UnMarkFilesForDeletion on the machine's real "PendingFileRenameOperations" value: MoveFileExW writes
// that value whatever HKLM redirection is in place, so these tests save it, work on it and put it
// back after every test. Log lines are read from PELLIMAR.LOG in a scratch TEMP directory.
#include <gtest/gtest.h>

#include "base/alloc.h"
#include "harness.h"
#include "pendinglist_helpers.h"
#include "scratch_registry.h"
#include "system/pendingrenames.h"

using namespace harness;
using namespace pendinglist;

namespace
{
const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kValue[] = L"PendingFileRenameOperations";
const std::wstring kPath = L"C:\\PROG~FBU\\COMM~CP1\\NORV~K3Q\\PELLMAR.SYS";
const std::wstring kOurs = L"\\??\\" + kPath;
const std::wstring kF1 = L"\\??\\C:\\Other\\one.dll";
const std::wstring kF2 = L"\\??\\C:\\Other\\two.dll";

const char kInside[] = "Inside UnMarkFilesForDeletion()";
const char kNothing[] = "  No files are marked for deletion, nothing to unmark.";
const char kNone[] = "  None of our files are marked for deletion.  Not modifying the PendingFileRenameOperations "
                     "registry value.";
const char kUpdating[] = "  Updating registry with new PendingFileRenameOperations.";
const char kDeleting[] = "  Deleting empty PendingFileRenameOperations registry value.";

std::string Marked(const std::wstring& source) { return "  File marked for deletion: " + Narrow(source); }
std::string Unmark(const std::wstring& source) { return "  *Unmarking file from deletion: " + Narrow(source); }

class PendingRenamesRegistry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hadValue = GetValue(HKEY_LOCAL_MACHINE, kKey, kValue, &m_savedType, &m_saved);
        DeleteValue(HKEY_LOCAL_MACHINE, kKey, kValue);
        m_savedTmp = Env(L"TMP");
        m_savedTemp = Env(L"TEMP");
        SetEnvironmentVariableW(L"TMP", m_log.Path().c_str());
        SetEnvironmentVariableW(L"TEMP", m_log.Path().c_str());
    }
    void TearDown() override
    {
        alloc_seam::FailNth = 0;
        SetEnvironmentVariableW(L"TMP", m_savedTmp.empty() ? nullptr : m_savedTmp.c_str());
        SetEnvironmentVariableW(L"TEMP", m_savedTemp.empty() ? nullptr : m_savedTemp.c_str());
        if (m_hadValue)
            SetBinary(HKEY_LOCAL_MACHINE, kKey, kValue, m_saved.data(), static_cast<DWORD>(m_saved.size()), m_savedType);
        else
            DeleteValue(HKEY_LOCAL_MACHINE, kKey, kValue);
    }

    static std::wstring Env(const wchar_t* name)
    {
        wchar_t buffer[MAX_PATH * 2];
        DWORD got = GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
        return got > 0 && got < MAX_PATH * 2 ? std::wstring(buffer, got) : std::wstring();
    }
    static void Put(const std::string& bytes, DWORD type = REG_MULTI_SZ)
    {
        ASSERT_TRUE(SetBinary(HKEY_LOCAL_MACHINE, kKey, kValue, bytes.data(), static_cast<DWORD>(bytes.size()), type));
    }
    static void Put(const std::wstring& list) { Put(ToBytes(list)); }
    static bool Get(std::string* bytes, DWORD* type = nullptr)
    {
        DWORD t = 0;
        bool present = GetValue(HKEY_LOCAL_MACHINE, kKey, kValue, &t, bytes);
        if (type != nullptr)
            *type = t;
        return present;
    }
    std::vector<std::string> Messages()
    {
        std::vector<std::string> messages;
        for (const std::string& line : ReadLog(m_log.Path()))
            messages.push_back(MessageOf(line));
        return messages;
    }

    ScratchDir m_log;
    ScratchDir m_files;
    bool m_hadValue = false;
    DWORD m_savedType = 0;
    std::string m_saved;
    std::wstring m_savedTmp;
    std::wstring m_savedTemp;
};

TEST_F(PendingRenamesRegistry, NoValueNothingToUnmark)
{
    EXPECT_EQ(0, UnMarkFilesForDeletion(kPath.c_str()));
    EXPECT_FALSE(Get(nullptr));
    EXPECT_EQ((std::vector<std::string>{kInside, kNothing}), Messages());
}

TEST_F(PendingRenamesRegistry, EmptyValueNothingToUnmark)
{
    Put(std::string());
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    EXPECT_TRUE(Get(&bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ((std::vector<std::string>{kInside, kNothing}), Messages());
}

// The platform's own entries: a deletion scheduled for the short path of a real file, between a
// foreign deletion and a foreign rename that the platform recorded the same way.
TEST_F(PendingRenamesRegistry, WithdrawsMoveFileExDeletionAndKeepsForeignEntriesInOrder)
{
    std::wstring dir = m_files.File(L"Pellimar Driver Folder");
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    std::wstring file = dir + L"\\pellimar driver image.sys";
    std::wstring before = m_files.File(L"foreign file before.txt");
    std::wstring source = m_files.File(L"foreign rename source.txt");
    std::wstring target = m_files.File(L"foreign rename target.txt");
    for (const std::wstring& path : {file, before, source})
        ASSERT_TRUE(WriteFileBytes(path, "x"));
    wchar_t shortPath[MAX_PATH];
    DWORD got = GetShortPathNameW(file.c_str(), shortPath, MAX_PATH);
    ASSERT_TRUE(got > 0 && got < MAX_PATH);
    ASSERT_NE(file, std::wstring(shortPath));

    ASSERT_TRUE(MoveFileExW(before.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(shortPath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
    std::string bytes;
    DWORD type = 0;
    ASSERT_TRUE(Get(&bytes, &type));
    ASSERT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    std::vector<Pair> pairs;
    ASSERT_TRUE(ReadPairs(FromBytes(bytes), &pairs));
    ASSERT_EQ(3u, pairs.size());
    std::wstring ours = L"\\??\\" + std::wstring(shortPath);
    ASSERT_EQ(Pair(ours, L""), pairs[1]);

    UnMarkFilesForDeletion(shortPath);

    ASSERT_TRUE(Get(&bytes, &type));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    std::wstring expected = pairs[0].first + Z() + pairs[0].second + Z() + pairs[2].first + Z() + pairs[2].second +
                            Z() + Z();
    EXPECT_EQ(expected, FromBytes(bytes));
    EXPECT_EQ(0u, bytes.size() % 2);
    std::vector<std::string> want = {kInside,
                                     Marked(pairs[0].first),
                                     Marked(ours),
                                     Unmark(ours),
                                     "  File marked for rename: " + Narrow(pairs[2].first) + " -> " +
                                         Narrow(pairs[2].second),
                                     kUpdating};
    EXPECT_EQ(want, Messages());
}

TEST_F(PendingRenamesRegistry, OnlyOurDeletionDeletesTheValue)
{
    Put(Del(kOurs) + Z());
    UnMarkFilesForDeletion(kPath.c_str());
    EXPECT_FALSE(Get(nullptr));
    EXPECT_EQ((std::vector<std::string>{kInside, Marked(kOurs), Unmark(kOurs), kDeleting}), Messages());
}

// An empty string in the middle is squeezed out before the scan, so our deletion behind it is found.
TEST_F(PendingRenamesRegistry, RunOfEmptyStringsIsCompactedBeforeTheScan)
{
    Put(Del(kF1) + Z(2) + Del(kOurs) + Z());
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_EQ(Del(kF1) + Z(), FromBytes(bytes));
    EXPECT_EQ((std::vector<std::string>{kInside, Marked(kF1), Marked(kOurs), Unmark(kOurs), kUpdating}), Messages());
}

// A list without runs is never written: its odd last byte, which a rewrite would drop, stays.
TEST_F(PendingRenamesRegistry, ListWithoutRunsIsNotWritten)
{
    std::string original = ToBytes(Ren(kF1, kF2) + Del(kF1) + Z()) + "\x7F";
    Put(original);
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_EQ(original, bytes);
    EXPECT_EQ(kNone, Messages().back());
}

TEST_F(PendingRenamesRegistry, RunIsCompactedEvenWithNothingOfOurs)
{
    Put(ToBytes(Del(kF1) + Z(3) + Del(kF2) + Z()) + "\x7F");
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_EQ(ToBytes(Del(kF1) + Del(kF2) + Z()), bytes);
    EXPECT_EQ((std::vector<std::string>{kInside, Marked(kF1), Marked(kF2), kNone}), Messages());
}

TEST_F(PendingRenamesRegistry, OneByteValueHasNoCharacters)
{
    Put(std::string("\x41", 1));
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_EQ(std::string("\x41", 1), bytes);
    EXPECT_EQ((std::vector<std::string>{kInside, kNone}), Messages());
}

TEST_F(PendingRenamesRegistry, DamagedListIsLeftUnchanged)
{
    std::wstring list = Del(L"\\??\\C:\\" + std::wstring(252, L'x')) + Del(kOurs) + Z();
    Put(list);
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_EQ(ToBytes(list), bytes);
    EXPECT_EQ((std::vector<std::string>{kInside, "  First temp string about to buffer overflow, bailing out.",
                                        "  Due to critical error, not modifying the PendingFileRenameOperations "
                                        "registry value."}),
              Messages());
}

// A value of another type is not a list: neither the scan nor the cleanup may touch it, though it
// holds our deletion behind a run of NULs.
class PendingRenamesOtherType : public PendingRenamesRegistry, public ::testing::WithParamInterface<DWORD>
{
};

TEST_P(PendingRenamesOtherType, IsLeftUntouched)
{
    std::string original = ToBytes(Del(kF1) + Z(2) + Del(kOurs) + Z());
    Put(original, GetParam());
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    DWORD type = 0;
    ASSERT_TRUE(Get(&bytes, &type));
    EXPECT_EQ(GetParam(), type);
    EXPECT_EQ(original, bytes);
    EXPECT_EQ((std::vector<std::string>{kInside, "  Failed (0) to RegQueryValueEx regkey: PendingFileRenameOperations "
                                                 "(Type:" + std::to_string(GetParam()) + ")"}),
              Messages());
}

INSTANTIATE_TEST_SUITE_P(PendingRenames, PendingRenamesOtherType,
                         ::testing::Values(static_cast<DWORD>(REG_SZ), static_cast<DWORD>(REG_EXPAND_SZ),
                                           static_cast<DWORD>(REG_BINARY)));

// Both buffers are allocated whatever happens to the first; the second allocation counted here is
// the input copy (the cleanup before it takes the first), the third the output.
class PendingRenamesAllocation : public PendingRenamesRegistry, public ::testing::WithParamInterface<int>
{
};

TEST_P(PendingRenamesAllocation, FailureLeavesTheValue)
{
    std::wstring list = Del(kF1) + Del(kOurs) + Z();
    Put(list);
    alloc_seam::FailNth = GetParam();
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_EQ(ToBytes(list), bytes);
    EXPECT_EQ((std::vector<std::string>{kInside, "  Failed to allocate " + std::to_string(list.size() * 2) +
                                                     " bytes for RegQueryValueEx regkey: PendingFileRenameOperations"}),
              Messages());
}

INSTANTIATE_TEST_SUITE_P(PendingRenames, PendingRenamesAllocation, ::testing::Values(2, 3));

TEST_F(PendingRenamesRegistry, TenThousandForeignPairsKeptIntact)
{
    std::wstring foreign;
    std::wstring value;
    const int kPairs = 10000;
    for (int i = 0; i < kPairs; ++i)
    {
        wchar_t name[64];
        wsprintfW(name, L"\\??\\C:\\Foreign\\Dir%d\\file%05d.dat", i % 37, i);
        std::wstring pair = i % 3 == 0 ? Ren(name, std::wstring(name) + L".new") : Del(name);
        foreign += pair;
        value += pair;
        if (i == kPairs / 2)
            value += Del(kOurs);
    }
    value += Del(L"\\??\\" + AsciiLower(kPath)) + Z();
    Put(value);
    UnMarkFilesForDeletion(kPath.c_str());
    std::string bytes;
    ASSERT_TRUE(Get(&bytes));
    EXPECT_TRUE(FromBytes(bytes) == foreign + Z()) << "value of " << bytes.size() << " bytes differs";
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(static_cast<size_t>(1 + kPairs + 2 * 2 + 1), messages.size());
    EXPECT_EQ(kUpdating, messages.back());
    EXPECT_EQ(2, CountLines(messages, Unmark(kOurs)) + CountLines(messages, Unmark(L"\\??\\" + AsciiLower(kPath))));
}
}  // namespace
