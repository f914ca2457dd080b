// Install locations: existence checks, the test for an installed driver, the shared and manifests
// directories.
#include <gtest/gtest.h>

#include "base/alloc.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"

using harness::LogCapture;

using harness::Narrow;

namespace
{
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

class LocationsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        info.SystemDir = dir.File(L"system32").c_str();
        info.DriversDir = dir.File(L"Drivers").c_str();
        info.MakerDir = dir.File(L"Norvatek").c_str();
        info.TempDir = dir.File(L"Norvatek\\TEMP.^^^").c_str();
        for (const wchar_t* sub : {L"system32", L"Drivers", L"Norvatek", L"Common Files"})
            ASSERT_TRUE(CreateDirectoryW(dir.File(sub).c_str(), nullptr));
        common = dir.File(L"Common Files");
        shared = common + L"\\Norvatek Shared";
        ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", common));
    }
    void TearDown() override { alloc_seam::FailNth = 0; }

    harness::ScratchRegistry registry;
    harness::ScratchDir dir;
    LogCapture log;
    GlobalInfo info;
    std::wstring common;
    std::wstring shared;
};
}  // namespace

TEST_F(LocationsTest, DirectoriesAndFilesAsTheSearchSeesThem)
{
    ASSERT_TRUE(harness::WriteFileBytes(dir.File(L"file.bin"), "x"));
    ASSERT_TRUE(CreateDirectoryW(dir.File(L"Drivers\\PELLIMAR64x86.SYS").c_str(), nullptr));
    ASSERT_TRUE(harness::WriteFileBytes(dir.File(L"hidden.bin"), "x"));
    SetFileAttributesW(dir.File(L"hidden.bin").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    struct Case
    {
        std::wstring path;
        BOOL directory;
        BOOL file;
    };
    const Case cases[] = {
        {dir.Path(), TRUE, FALSE},
        {dir.File(L"file.bin"), FALSE, TRUE},
        {dir.File(L"hidden.bin"), FALSE, TRUE},
        {dir.File(L"Drivers\\PELLIMAR64x86.SYS"), TRUE, FALSE},   // a directory named like the driver
        {dir.File(L"missing"), FALSE, FALSE},
        {dir.File(L"missing\\file.bin"), FALSE, FALSE},
        {L"", FALSE, FALSE},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.directory, IsExistingDirectory(c.path.c_str())) << Narrow(c.path);
        EXPECT_EQ(c.file, IsExistingFile(c.path.c_str())) << Narrow(c.path);
    }
    EXPECT_FALSE(IsExistingDirectory(nullptr));
    EXPECT_FALSE(IsExistingFile(nullptr));
}

TEST_F(LocationsTest, ExistingDriverIsLookedForInMakerAndDriversDirs)
{
    struct Case
    {
        const char* name;
        bool inMaker;
        bool inDrivers;
        bool directoryInDrivers;
    };
    const Case cases[] = {
        {"none", false, false, false},
        {"maker only", true, false, false},
        {"drivers only", false, true, false},
        {"both", true, true, false},
        {"directory of that name", false, false, true},
    };
    std::wstring inMaker = dir.File(L"Norvatek\\PELLIMAR64x86.SYS");
    std::wstring inDrivers = dir.File(L"Drivers\\PELLIMAR64x86.SYS");
    for (const Case& c : cases)
    {
        harness::RemoveTree(inMaker);
        harness::RemoveTree(inDrivers);
        if (c.inMaker)
            ASSERT_TRUE(harness::WriteFileBytes(inMaker, "sys"));
        if (c.inDrivers)
            ASSERT_TRUE(harness::WriteFileBytes(inDrivers, "sys"));
        if (c.directoryInDrivers)
            ASSERT_TRUE(CreateDirectoryW(inDrivers.c_str(), nullptr));
        log.Clear();
        info.DriverFound = !(c.inMaker || c.inDrivers);

        BOOL found = CheckForExistingDriver(&info);
        std::vector<std::string> expected = {"  Checking for existing Pellimar..."};
        if (c.inMaker)
            expected.push_back("  Found: " + Narrow(inMaker));
        if (c.inDrivers)
            expected.push_back("  Found: " + Narrow(inDrivers));
        expected.push_back(c.inMaker || c.inDrivers ? "  Pellimar was found on the system."
                                                    : "  Pellimar wasn't found on the system.");
        EXPECT_EQ(expected, log.Messages()) << c.name;
        EXPECT_EQ(c.inMaker || c.inDrivers ? TRUE : FALSE, found) << c.name;
        EXPECT_EQ(found, info.DriverFound) << c.name;
    }
}

TEST_F(LocationsTest, EmptyMakerDirIsNotTheCurrentDirectory)
{
    ASSERT_TRUE(harness::WriteFileBytes(dir.File(L"PELLIMAR64x86.SYS"), "sys"));
    info.MakerDir = L"";
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    BOOL found = CheckForExistingDriver(&info);
    SetCurrentDirectoryW(saved);
    EXPECT_FALSE(found);
    EXPECT_FALSE(info.DriverFound);
}

TEST_F(LocationsTest, SharedDirFromTheRegistryWithAndWithoutCreate)
{
    std::string found = "Common Files dir location found using CommonFilesDir: " + Narrow(common);
    std::string created = "Norvatek CommonFilesDir created using " + Narrow(shared);

    // Without create: the path is kept although the folder is missing.
    EXPECT_FALSE(DetermineSharedDir(&info, FALSE));
    EXPECT_EQ(Narrow(shared), Narrow(info.SharedDir.Str()));
    EXPECT_FALSE(harness::DirExists(shared));
    EXPECT_EQ(std::vector<std::string>({found}), log.Messages());

    // A later call with create uses that path: the registry is not read again.
    ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", dir.File(L"elsewhere")));
    EXPECT_TRUE(DetermineSharedDir(&info, TRUE));
    EXPECT_TRUE(harness::DirExists(shared));
    EXPECT_EQ(std::vector<std::string>({found, created}), log.Messages());

    // Existing: TRUE, nothing logged.
    log.Clear();
    EXPECT_TRUE(DetermineSharedDir(&info, TRUE));
    EXPECT_TRUE(DetermineSharedDir(&info, FALSE));
    EXPECT_EQ(std::vector<std::string>(), log.Messages());
}

TEST_F(LocationsTest, ExistingSharedDirReadsNothingFromTheRegistry)
{
    harness::DeleteValue(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir");
    ASSERT_TRUE(CreateDirectoryW(shared.c_str(), nullptr));
    info.SharedDir = shared.c_str();
    EXPECT_TRUE(DetermineSharedDir(&info, FALSE));
    EXPECT_EQ(Narrow(shared), Narrow(info.SharedDir.Str()));
    EXPECT_EQ(std::vector<std::string>(), log.Messages());
    // Had it been read, the missing value would have been replaced by the fallback.
    EXPECT_FALSE(harness::ValueExists(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir"));
}

TEST_F(LocationsTest, UnreadableCommonFilesDirFallsBackToTheSystemDrive)
{
    // The system directory's drive letter makes the fallback: a drive that does not exist here keeps
    // the test away from the machine's real Common Files.
    info.SystemDir = L"Q:\\Windows\\system32";
    const std::wstring fallback = L"Q:\\Program Files\\Common Files";
    std::string logged = "Cannot determine CommonFilesDir location, using " + Narrow(fallback);
    struct Case
    {
        const char* name;
        bool present;
        std::wstring value;
        bool storesFallback;
    };
    const Case cases[] = {
        {"missing", false, L"", true},
        {"empty", true, L"", true},
        // Too long for a path: used as unreadable, but the system's value is not overwritten.
        {"too long", true, L"C:\\" + std::wstring(300, L'x'), false},
    };
    for (const Case& c : cases)
    {
        harness::DeleteValue(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir");
        if (c.present)
            ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", c.value));
        info.SharedDir = L"";
        log.Clear();

        EXPECT_FALSE(DetermineSharedDir(&info, FALSE)) << c.name;
        EXPECT_EQ(Narrow(fallback + L"\\Norvatek Shared"), Narrow(info.SharedDir.Str())) << c.name;
        EXPECT_EQ(std::vector<std::string>({logged}), log.Messages()) << c.name;
        DWORD type = 0;
        std::string bytes;
        ASSERT_EQ(c.present || c.storesFallback,
                  harness::GetValue(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", &type, &bytes))
            << c.name;
        std::wstring stored = c.storesFallback ? fallback : c.value;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << c.name;
        // Stored with its terminating zero.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored.c_str()), (stored.size() + 1) * sizeof(wchar_t)),
                  bytes)
            << c.name;
    }
}

TEST_F(LocationsTest, SharedDirThatCannotBeCreatedIsEmptied)
{
    ASSERT_TRUE(harness::WriteFileBytes(shared, "a file in the folder's place"));
    EXPECT_FALSE(DetermineSharedDir(&info, TRUE));
    EXPECT_TRUE(info.SharedDir.IsEmpty());
    EXPECT_EQ(1, log.Count("Cannot create Norvatek common directory " + Narrow(shared)));
}

TEST_F(LocationsTest, RegistryEntryAllocationFailure)
{
    alloc_seam::FailNth = 1;
    EXPECT_FALSE(DetermineSharedDir(&info, TRUE));
    EXPECT_TRUE(info.SharedDir.IsEmpty());
    EXPECT_EQ(std::vector<std::string>({"  DetermineSharedDir: Failed to allocate memory for RegistryEntry."}),
              log.Messages());
    EXPECT_FALSE(harness::DirExists(shared));
}

TEST_F(LocationsTest, ManifestsDirCreatedWithTheSharedDir)
{
    std::wstring manifests = shared + L"\\KVManifests";
    EXPECT_TRUE(PrepareKvManifestsDir(&info, TRUE));
    EXPECT_EQ(Narrow(manifests), Narrow(info.KvManifestsDir.Str()));
    EXPECT_TRUE(harness::DirExists(manifests));
    EXPECT_EQ(std::vector<std::string>({"Common Files dir location found using CommonFilesDir: " + Narrow(common),
                                        "Norvatek CommonFilesDir created using " + Narrow(shared),
                                        "Manifests directory created."}),
              log.Messages());

    // Already there, with or without create.
    for (BOOL create : {TRUE, FALSE})
    {
        log.Clear();
        EXPECT_TRUE(PrepareKvManifestsDir(&info, create));
        EXPECT_EQ(std::vector<std::string>({"Manifests directory already exists."}), log.Messages());
    }
}

TEST_F(LocationsTest, ManifestsDirWithoutCreateKeepsItsPath)
{
    EXPECT_FALSE(PrepareKvManifestsDir(&info, FALSE));
    EXPECT_EQ(Narrow(shared + L"\\KVManifests"), Narrow(info.KvManifestsDir.Str()));
    EXPECT_EQ(Narrow(shared), Narrow(info.SharedDir.Str()));
    EXPECT_FALSE(harness::DirExists(shared));
    EXPECT_EQ(std::vector<std::string>({"Common Files dir location found using CommonFilesDir: " + Narrow(common)}),
              log.Messages());
}

TEST_F(LocationsTest, NoSharedDirMeansNoManifestsDir)
{
    // The shared folder cannot be created, so SharedDir ends up empty; the manifests directory must not
    // become a bare "KVManifests" in the current directory.
    ASSERT_TRUE(harness::WriteFileBytes(shared, "a file in the folder's place"));
    info.KvManifestsDir = L"stale";
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    BOOL ok = PrepareKvManifestsDir(&info, TRUE);
    SetCurrentDirectoryW(saved);

    EXPECT_FALSE(ok);
    EXPECT_TRUE(info.SharedDir.IsEmpty());
    EXPECT_TRUE(info.KvManifestsDir.IsEmpty());
    EXPECT_FALSE(harness::DirExists(dir.File(L"KVManifests")));
    std::vector<std::string> messages = log.Messages();
    EXPECT_EQ(0, harness::CountLines(messages, "Manifests directory created."));
    EXPECT_EQ(0, harness::CountLines(messages, "Failed to create Manifests directory."));
}

TEST_F(LocationsTest, ManifestsDirThatCannotBeCreatedIsEmptied)
{
    ASSERT_TRUE(CreateDirectoryW(shared.c_str(), nullptr));
    ASSERT_TRUE(harness::WriteFileBytes(shared + L"\\KVManifests", "a file in the folder's place"));
    info.SharedDir = shared.c_str();
    EXPECT_FALSE(PrepareKvManifestsDir(&info, TRUE));
    EXPECT_TRUE(info.KvManifestsDir.IsEmpty());
    EXPECT_EQ(Narrow(shared), Narrow(info.SharedDir.Str()));
    EXPECT_EQ(std::vector<std::string>({"Failed to create Manifests directory."}), log.Messages());
}

TEST_F(LocationsTest, FallbackWithoutASystemDirUsesTheRealSystemDrive)
{
    // Before the system directory is known the drive is asked of the platform, never taken from an
    // empty string.
    harness::DeleteValue(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir");
    info.SystemDir = L"";
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    std::wstring fallback = std::wstring(1, system[0]) + L":\\Program Files\\Common Files";
    DetermineSharedDir(&info, FALSE);
    EXPECT_EQ(Narrow(fallback + L"\\Norvatek Shared"), Narrow(info.SharedDir.Str()));
    EXPECT_EQ(std::vector<std::string>({"Cannot determine CommonFilesDir location, using " + Narrow(fallback)}),
              log.Messages());
}
