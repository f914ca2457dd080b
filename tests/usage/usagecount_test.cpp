#include <gtest/gtest.h>

#include "base/alloc.h"
#include "machine.h"
#include "usage/usagecount.h"
#include "usage_fixture.h"

using namespace harness;

namespace
{
const wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
}

TEST(CountText, ReadsLikeAnUnsignedDecimal)
{
    struct Case { const wchar_t* text; DWORD count; };
    const Case cases[] = {
        {L"7", 7}, {L"  12abc", 12}, {L"abc", 0}, {L"", 0}, {L"+5", 5}, {L"\t 42", 42},
        {L"-1", kNoCount}, {L"-2", 0xFFFFFFFE}, {L"99999999999", kNoCount}, {L"4294967296", kNoCount},
        {L"4294967294", 4294967294u}, {L"007", 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.count, ParseCountText(c.text)) << Narrow(c.text);
}

class UsageCount : public UsageTest
{
};

TEST_F(UsageCount, ReadsStringsAndDwordsOnlyWhateverTheValueHolds)
{
    struct Case { DWORD type; std::string bytes; DWORD count; int recordedType; };
    auto wide = [](const wchar_t* s, size_t chars) { return std::string(reinterpret_cast<const char*>(s), chars * 2); };
    DWORD seven = 7;
    const Case cases[] = {
        {REG_SZ, wide(L"7", 2), 7, REG_SZ},
        {REG_SZ, wide(L"12abc", 6), 12, REG_SZ},
        {REG_SZ, wide(L"", 1), 0, REG_SZ},
        {REG_SZ, wide(L"-1", 3), kNoCount, REG_SZ},
        {REG_SZ, wide(L"99999999999", 12), kNoCount, REG_SZ},
        {REG_SZ, wide(L"9", 1) + "\x01", 9, REG_SZ},          // odd size, no terminator
        {REG_SZ, std::string(262, '5'), kNoCount, REG_SZ},    // digits overflow 32 bits, no terminator
        {REG_SZ, std::string(400, '1'), kNoCount, REG_SZ},    // longer than the buffer
        {REG_DWORD, std::string(reinterpret_cast<const char*>(&seven), 4), 7, REG_DWORD},
        {REG_BINARY, std::string(reinterpret_cast<const char*>(&seven), 4), kNoCount, -1},
        {REG_EXPAND_SZ, wide(L"7", 2), kNoCount, -1},
    };
    for (const Case& c : cases)
    {
        SetBinary(HKEY_LOCAL_MACHINE, kKey, L"C:\\x.sys", c.bytes.data(), static_cast<DWORD>(c.bytes.size()), c.type);
        CUsageCount record(HKEY_LOCAL_MACHINE, kKey, L"C:\\x.sys");
        EXPECT_EQ(c.count, record.GetCount()) << c.type << " " << c.bytes.size();
        EXPECT_EQ(c.recordedType, record.Type());
    }
    CUsageCount missing(HKEY_LOCAL_MACHINE, kKey, L"C:\\missing.sys");
    EXPECT_EQ(kNoCount, missing.GetCount());
    EXPECT_FALSE(missing.Exists());
}

TEST_F(UsageCount, SetCountKeepsOrChoosesTheType)
{
    CUsageCount record(HKEY_LOCAL_MACHINE, kKey, L"v");
    EXPECT_EQ(0, record.SetCount(5, FALSE));             // missing: DWORD
    EXPECT_EQ(5u, GetDword(HKEY_LOCAL_MACHINE, kKey, L"v"));
    EXPECT_EQ(0, record.SetCount(6, TRUE));              // as string whatever it was
    EXPECT_EQ(L"6", GetString(HKEY_LOCAL_MACHINE, kKey, L"v"));
    EXPECT_EQ(0, record.SetCount(4294967294u, FALSE));   // an existing string stays a string
    EXPECT_EQ(L"4294967294", GetString(HKEY_LOCAL_MACHINE, kKey, L"v"));
    DWORD raw = 3;
    SetBinary(HKEY_LOCAL_MACHINE, kKey, L"v", &raw, 4, REG_BINARY);
    EXPECT_EQ(0, record.SetCount(9, FALSE));             // another type: overwritten as DWORD
    EXPECT_EQ(9u, GetDword(HKEY_LOCAL_MACHINE, kKey, L"v"));
    std::string bytes;
    DWORD type = 0;
    ASSERT_TRUE(GetValue(HKEY_LOCAL_MACHINE, kKey, L"v", &type, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
}

TEST_F(UsageCount, DecrementNeverGoesBelowZeroAndKeepsTheType)
{
    SetString(HKEY_LOCAL_MACHINE, kKey, L"s", L"7");
    SetDword(HKEY_LOCAL_MACHINE, kKey, L"d", 7);
    CUsageCount s(HKEY_LOCAL_MACHINE, kKey, L"s");
    CUsageCount d(HKEY_LOCAL_MACHINE, kKey, L"d");
    EXPECT_EQ(6u, s.Decrement(TRUE));
    EXPECT_EQ(L"6", GetString(HKEY_LOCAL_MACHINE, kKey, L"s"));
    EXPECT_EQ(6u, d.Decrement(TRUE));
    EXPECT_EQ(6u, GetDword(HKEY_LOCAL_MACHINE, kKey, L"d"));

    for (const wchar_t* start : {L"1", L"0"})
    {
        SetString(HKEY_LOCAL_MACHINE, kKey, L"z", start);
        CUsageCount z(HKEY_LOCAL_MACHINE, kKey, L"z");
        EXPECT_EQ(0u, z.Decrement(TRUE)) << Narrow(start);
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kKey, L"z"));
    }
    SetString(HKEY_LOCAL_MACHINE, kKey, L"k", L"1");
    CUsageCount keep(HKEY_LOCAL_MACHINE, kKey, L"k");
    EXPECT_EQ(0u, keep.Decrement(FALSE));
    EXPECT_EQ(L"0", GetString(HKEY_LOCAL_MACHINE, kKey, L"k"));

    CUsageCount missing(HKEY_LOCAL_MACHINE, kKey, L"none");
    EXPECT_EQ(kNoCount, missing.Decrement(TRUE));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kKey, L"none"));
}

TEST_F(UsageCount, GetUsageCountsOnVistaAndLaterReadsTheMainCountOnly)
{
    DWORD count = 99;
    EXPECT_TRUE(GetUsageCounts(&count));
    EXPECT_EQ(0u, count);   // missing counts as read, with 0
    SetString(HKEY_LOCAL_MACHINE, kKey, MainValue().c_str(), L"3");
    SetString(HKEY_LOCAL_MACHINE, kKey, MakerValue().c_str(), L"5");
    EXPECT_TRUE(GetUsageCounts(&count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ("  GetUsageCounts found an existing usage count of: 3", log.Messages().back());
    alloc_seam::FailNth = 1;
    count = 77;
    EXPECT_FALSE(GetUsageCounts(&count));
    EXPECT_EQ(77u, count);
    EXPECT_EQ("  GetUsageCounts: Failed to allocate memory for CUsageCount.", log.Messages().back());
}

TEST_F(UsageCount, ReleaseFileUsageLowersRemovesAtZeroAndDropsOnlyThisProduct)
{
    const std::wstring usageKey = L"Software\\Norvatek\\SharedUsage\\PELLIMAR64x86.SYS";
    std::wstring image = drivers + L"\\PELLIMAR64x86.SYS";
    ASSERT_TRUE(WriteFileBytes(image, "driver"));
    SetString(HKEY_LOCAL_MACHINE, kKey, MainValue().c_str(), L"2");
    SetString(HKEY_LOCAL_MACHINE, usageKey, L"PRODUCTA", L"x");
    SetString(HKEY_LOCAL_MACHINE, usageKey, L"PRODUCTB", L"x");

    EXPECT_EQ(1u, ReleaseFileUsage(L"PELLIMAR64x86.SYS", drivers.c_str(), L"PRODUCTA", FALSE));
    EXPECT_EQ(L"1", GetString(HKEY_LOCAL_MACHINE, kKey, MainValue().c_str()));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, usageKey, L"PRODUCTA"));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, usageKey, L"PRODUCTB"));
    EXPECT_TRUE(FileExists(image));

    // keepFile: the count goes at 0, the file stays.
    EXPECT_EQ(0u, ReleaseFileUsage(L"PELLIMAR64x86.SYS", drivers.c_str(), L"PRODUCTB", TRUE));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kKey, MainValue().c_str()));
    EXPECT_TRUE(FileExists(image));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, usageKey));   // other programs' key stays

    SetString(HKEY_LOCAL_MACHINE, kKey, MainValue().c_str(), L"1");
    EXPECT_EQ(0u, ReleaseFileUsage(L"PELLIMAR64x86.SYS", (drivers + L"\\").c_str(), L"", FALSE));
    EXPECT_FALSE(FileExists(image));
    EXPECT_TRUE(log.Messages().size() >= 2);
    EXPECT_EQ("  RefCount " + Narrow(MainValue()) + " reached 0.", log.Messages()[log.Messages().size() - 2]);

    EXPECT_EQ(kNoCount, ReleaseFileUsage(L"PELLIMAR64x86.SYS", nullptr, L"A", FALSE));
    EXPECT_EQ(kNoCount, ReleaseFileUsage(L"PELLIMAR64x86.SYS", drivers.c_str(), L"A", FALSE));   // missing count
}
