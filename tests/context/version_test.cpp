// Reading file versions from real version resources, the three-way comparison and the start-up step
// that reads the four versions.
#include <gtest/gtest.h>

#include "base/alloc.h"
#include "context/globalinfo.h"
#include "context/version.h"
#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"
#include "version_stamp.h"

using harness::LogCapture;

using harness::Narrow;

namespace
{
const ULONGLONG kInstallerVersion = 0x000C000900000016ull;   // 12.9.0.22, the built installer's VERSIONINFO

std::wstring Installer()
{
    return harness::InstallerPath();
}

// A program without any version resource.
std::wstring Unversioned()
{
    return harness::BinDir() + L"\\mutexholder.exe";
}

std::string StartLine(const std::wstring& path)
{
    return "  GetFileVersionInfoSize(" + Narrow(path) + ") start";
}

std::string EndLine(const std::wstring& path)
{
    return "  GetFileVersionInfoSize(" + Narrow(path) + ") end";
}
}  // namespace

TEST(CompareVersions, ComparesFieldByFieldAsUnsignedNumbers)
{
    struct Case
    {
        WORD a[4];
        WORD b[4];
        DWORD expected;
    };
    const Case cases[] = {
        {{1, 2, 3, 4}, {1, 2, 3, 10}, 2},                // by number, not by text
        {{1, 2, 3, 10}, {1, 2, 3, 4}, 1},
        {{2, 0, 0, 0}, {1, 65535, 65535, 65535}, 1},     // a higher major outweighs everything below
        {{1, 65535, 65535, 65535}, {2, 0, 0, 0}, 2},
        {{12, 9, 0, 22}, {12, 9, 0, 22}, 0},
        {{0, 0, 0, 0}, {0, 0, 0, 0}, 0},
        {{12, 8, 0, 12}, {12, 9, 0, 22}, 2},
        {{0x8000, 0, 0, 0}, {0x7FFF, 0, 0, 0}, 1},       // fields are unsigned
        {{1, 0, 0x8000, 0}, {1, 0, 0x7FFF, 0xFFFF}, 1},
        {{1, 1, 0, 0}, {1, 0, 0xFFFF, 0xFFFF}, 1},       // minor before build
    };
    for (const Case& c : cases)
    {
        ULONGLONG a = MakeVersionQuad(c.a[0], c.a[1], c.a[2], c.a[3]);
        ULONGLONG b = MakeVersionQuad(c.b[0], c.b[1], c.b[2], c.b[3]);
        EXPECT_EQ(c.expected, CompareVersions(static_cast<DWORD>(a >> 32), static_cast<DWORD>(a),
                                              static_cast<DWORD>(b >> 32), static_cast<DWORD>(b)))
            << c.a[0] << "." << c.a[1] << "." << c.a[2] << "." << c.a[3] << " vs " << c.b[0] << "." << c.b[1] << "."
            << c.b[2] << "." << c.b[3];
    }
}

TEST(CompareVersions, QuadPacksAndSplitsInFieldOrder)
{
    ULONGLONG quad = MakeVersionQuad(12, 9, 0, 22);
    EXPECT_EQ(kInstallerVersion, quad);
    EXPECT_EQ(quad, MakeVersionQuad(static_cast<DWORD>(0x000C0009), static_cast<DWORD>(0x00000016)));
    int major, minor, build, revision;
    SplitVersionQuad(MakeVersionQuad(65535, 1, 32768, 7), &major, &minor, &build, &revision);
    EXPECT_EQ(65535, major);
    EXPECT_EQ(1, minor);
    EXPECT_EQ(32768, build);
    EXPECT_EQ(7, revision);
}

TEST(VersionResource, ReadsTheInstallersFixedRecordOnce)
{
    LogCapture log;
    CVersionResource reader(Installer().c_str());
    EXPECT_FALSE(reader.IsInitialised());
    ASSERT_EQ(0u, reader.IntializeData());
    EXPECT_TRUE(reader.IsInitialised());

    DWORD ms = 0, ls = 0;
    EXPECT_EQ(0u, reader.GetFileVersion(&ms, &ls));
    EXPECT_EQ(0x000C0009u, ms);
    EXPECT_EQ(0x00000016u, ls);
    ms = ls = 0;
    EXPECT_EQ(0u, reader.GetProductVersion(&ms, &ls));
    EXPECT_EQ(kInstallerVersion, MakeVersionQuad(ms, ls));
    EXPECT_EQ(0u, reader.GetFileVersion(nullptr, &ls));   // either output may be left out
    EXPECT_EQ(0u, reader.GetFileVersion(&ms, nullptr));

    EXPECT_EQ(1u, reader.CompareFileVersion(0x000C0008, 0x0000000C));   // file newer than 12.8.0.12
    EXPECT_EQ(0u, reader.CompareFileVersion(0x000C0009, 0x00000016));
    EXPECT_EQ(2u, reader.CompareFileVersion(0x000C000A, 0));

    // A second initialisation answers from what was loaded.
    EXPECT_EQ(0u, reader.IntializeData());
    EXPECT_EQ(std::vector<std::string>({StartLine(Installer()), EndLine(Installer())}), log.Messages());
}

TEST(VersionResource, FilesWithoutAVersionAndMissingFiles)
{
    harness::ScratchDir dir;
    ASSERT_TRUE(harness::WriteFileBytes(dir.File(L"notes.txt"), "Not a program at all.\r\n"));
    ASSERT_TRUE(CreateDirectoryW(dir.File(L"PELLIMAR64x86.SYS").c_str(), nullptr));
    struct Case
    {
        std::wstring path;
        DWORD expected;
        bool read;   // the file exists and its resource is asked for
    };
    const Case cases[] = {
        {Unversioned(), 0xFFFF, true},
        {dir.File(L"notes.txt"), 0xFFFF, true},
        {dir.File(L"missing.exe"), 2, false},
        {dir.File(L"PELLIMAR64x86.SYS"), 2, false},   // a directory is no file
        {dir.File(L"gone\\TOVRAND64x86.EXE"), 2, false},
        {L"", 2, false},
    };
    for (const Case& c : cases)
    {
        LogCapture log;
        CVersionResource reader(c.path.c_str());
        EXPECT_EQ(c.expected, reader.IntializeData()) << Narrow(c.path);
        EXPECT_FALSE(reader.IsInitialised()) << Narrow(c.path);
        std::vector<std::string> lines;
        if (c.read)
            lines = {StartLine(c.path), EndLine(c.path)};
        EXPECT_EQ(lines, log.Messages()) << Narrow(c.path);
        // Nothing was loaded: every reading operation says so.
        DWORD ms = 7, ls = 7;
        EXPECT_EQ(0xFFFDu, reader.GetFileVersion(&ms, &ls));
        EXPECT_EQ(7u, ms);
        EXPECT_EQ(0xFFFDu, reader.GetProductVersion(&ms, &ls));
        EXPECT_EQ(0xFFFDu, reader.CompareFileVersion(0, 0));
    }
    CVersionResource noPath(nullptr);
    EXPECT_EQ(0xFFFFu, noPath.IntializeData());
}

TEST(VersionResource, ResourceWithoutFixedRecord)
{
    harness::ScratchDir dir;
    VersionSpec wanted = SimpleVersion(1, 2, 3, 4);
    wanted.hasFixed = false;
    std::wstring path = dir.File(L"nofixed.exe");
    ASSERT_TRUE(StampVersion(Unversioned(), path, wanted));
    CVersionResource reader(path.c_str());
    EXPECT_EQ(0xFFFEu, reader.IntializeData());
    EXPECT_TRUE(reader.IsInitialised());
    EXPECT_EQ(0xFFFEu, reader.IntializeData());
    DWORD ms = 0, ls = 0;
    EXPECT_EQ(0xFFFEu, reader.GetFileVersion(&ms, &ls));
    EXPECT_EQ(0xFFFEu, reader.GetProductVersion(&ms, &ls));
    EXPECT_EQ(4u, reader.CompareFileVersion(0, 0));
    // The strings are still there.
    DWORD* table = nullptr;
    UINT count = 0;
    EXPECT_EQ(0u, reader.GetTranslations(&table, &count));
    ASSERT_EQ(1u, count);
    ASSERT_NE(nullptr, reader.GetVersionString(1));
    EXPECT_STREQ(L"Norvatek", reader.GetVersionString(1));

    CVersionResource installer(Installer().c_str());
    ASSERT_EQ(0u, installer.IntializeData());
    EXPECT_EQ(4u, installer.CompareWith(&reader));
    EXPECT_EQ(4u, reader.CompareWith(&installer));
    EXPECT_FALSE(installer.IsSameVersion(&reader));
}

TEST(VersionResource, CompareWithAnotherFile)
{
    harness::ScratchDir dir;
    std::wstring older = dir.File(L"older.exe");
    VersionSpec olderSpec = SimpleVersion(12, 8, 0, 12);
    olderSpec.productVersion = MakeVersionQuad(20, 1, 0, 3);   // the product's own numbering
    ASSERT_TRUE(StampVersion(Unversioned(), older, olderSpec));
    std::wstring copy = dir.File(L"copy.exe");
    ASSERT_TRUE(CopyFileW(Installer().c_str(), copy.c_str(), FALSE));

    CVersionResource installer(Installer().c_str());
    CVersionResource same(copy.c_str());
    CVersionResource old(older.c_str());
    CVersionResource unread(older.c_str());
    ASSERT_EQ(0u, installer.IntializeData());
    ASSERT_EQ(0u, same.IntializeData());
    ASSERT_EQ(0u, old.IntializeData());

    // File and product versions are separate fields; comparisons use the file version.
    DWORD ms = 0, ls = 0;
    EXPECT_EQ(0u, old.GetProductVersion(&ms, &ls));
    EXPECT_EQ(MakeVersionQuad(20, 1, 0, 3), MakeVersionQuad(ms, ls));
    EXPECT_EQ(0u, old.GetFileVersion(&ms, &ls));
    EXPECT_EQ(MakeVersionQuad(12, 8, 0, 12), MakeVersionQuad(ms, ls));

    EXPECT_EQ(0u, installer.CompareWith(&same));
    EXPECT_TRUE(installer.IsSameVersion(&same));
    EXPECT_EQ(1u, installer.CompareWith(&old));
    EXPECT_EQ(2u, old.CompareWith(&installer));
    EXPECT_FALSE(old.IsSameVersion(&installer));
    EXPECT_EQ(0xFFFDu, installer.CompareWith(&unread));
    EXPECT_EQ(0xFFFDu, unread.CompareWith(&installer));
    EXPECT_FALSE(installer.IsSameVersion(&unread));
    EXPECT_EQ(0xFFFDu, installer.CompareWith(nullptr));
}

TEST(VersionResource, TranslationsAndStringsOfTheInstaller)
{
    CVersionResource reader(Installer().c_str());
    DWORD* table = reinterpret_cast<DWORD*>(8);
    UINT count = 99;
    EXPECT_EQ(0xFFFDu, reader.GetTranslations(&table, &count));
    EXPECT_EQ(nullptr, table);
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0xFFFDu, reader.SelectTranslation(0x04B00409));
    EXPECT_EQ(nullptr, reader.GetVersionString(1));

    ASSERT_EQ(0u, reader.IntializeData());
    EXPECT_EQ(nullptr, reader.GetVersionString(1)) << "no translation is current yet";
    EXPECT_EQ(0xFFFCu, reader.SelectTranslation(0x04B00409)) << "no table looked up yet";

    ASSERT_EQ(0u, reader.GetTranslations(&table, &count));
    ASSERT_EQ(1u, count);
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(0x04B00409u, table[0]);   // English (US), Unicode

    struct Case
    {
        int index;
        const wchar_t* value;
    };
    const Case cases[] = {
        {1, L"Norvatek"},         {2, L"Pellimar Installer (x64)"}, {3, L"12.9.0.22"},
        {4, L"TOVRAND64x86"},     {5, L"Copyright (C) Norvatek"},   {6, L"TOVRAND64x86.EXE"},
        {7, L"Pellimar"},         {8, L"12.9.0.22"},                {0, nullptr},
        {9, nullptr},             {-1, nullptr},
    };
    for (const Case& c : cases)
    {
        const wchar_t* value = reader.GetVersionString(c.index);
        if (c.value == nullptr)
            EXPECT_EQ(nullptr, value) << c.index;
        else
            EXPECT_STREQ(c.value, value) << c.index;
    }
    EXPECT_EQ(0xFFFCu, reader.SelectTranslation(0x04B00409)) << "already current";
    EXPECT_EQ(0xFFFCu, reader.SelectTranslation(0x04E40409)) << "not in the table";
}

TEST(VersionResource, SelectingTheSecondTranslationReadsItsStrings)
{
    harness::ScratchDir dir;
    VersionSpec wanted = SimpleVersion(3, 0, 0, 1);
    wanted.translations = {{0x04B00409, {{L"CompanyName", L"Norvatek"}, {L"ProductName", L"Pellimar"}}},
                         {0x04B00407, {{L"CompanyName", L"Norvatek GmbH"}}}};
    std::wstring path = dir.File(L"twolang.exe");
    ASSERT_TRUE(StampVersion(Unversioned(), path, wanted));

    CVersionResource reader(path.c_str());
    ASSERT_EQ(0u, reader.IntializeData());
    DWORD* table = nullptr;
    UINT count = 0;
    ASSERT_EQ(0u, reader.GetTranslations(&table, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(0x04B00407u, table[1]);
    EXPECT_STREQ(L"Norvatek", reader.GetVersionString(1));

    EXPECT_EQ(0u, reader.SelectTranslation(0x04B00407));
    EXPECT_STREQ(L"Norvatek GmbH", reader.GetVersionString(1));
    EXPECT_EQ(nullptr, reader.GetVersionString(7)) << "not in the German table";
    EXPECT_EQ(0u, reader.SelectTranslation(0x04B00409));
    EXPECT_STREQ(L"Pellimar", reader.GetVersionString(7));
}
