// The start-up step that reads the versions of the installed driver, the new driver image, the
// running installer and the installer's copy in the shared folder, on a scratch layout of those files.
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
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::wstring Unversioned()
{
    return harness::BinDir() + L"\\mutexholder.exe";
}

std::vector<std::string> ReadLines(const std::wstring& path)
{
    return {"  GetFileVersionInfoSize(" + Narrow(path) + ") start", "  GetFileVersionInfoSize(" + Narrow(path) + ") end"};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class GetVersionsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        info.SystemDir = dir.File(L"system32").c_str();
        info.DriversDir = dir.File(L"Drivers").c_str();
        info.MakerDir = dir.File(L"Norvatek").c_str();
        info.TempDir = dir.File(L"Norvatek\\TEMP.^^^").c_str();
        info.SharedDir = dir.File(L"Norvatek Shared").c_str();
        info.ModulePath = harness::InstallerPath().c_str();
        for (const wchar_t* sub : {L"system32", L"Drivers", L"Norvatek", L"Norvatek\\TEMP.^^^", L"Norvatek Shared"})
            ASSERT_TRUE(CreateDirectoryW(dir.File(sub).c_str(), nullptr));
        // Values that GetVersions must overwrite.
        info.InstalledDriverVersion = info.NewDriverVersion = info.OwnVersion = info.InstalledTovrandVersion = 0x55;
    }
    void TearDown() override { alloc_seam::FailNth = 0; }

    std::wstring InstalledDriver() const { return dir.File(L"Drivers\\PELLIMAR64x86.SYS"); }
    std::wstring NewDriver() const { return dir.File(L"Norvatek\\TEMP.^^^\\PELLIMAR64x86.SYS"); }
    std::wstring SharedCopy() const { return dir.File(L"Norvatek Shared\\TOVRAND64x86.EXE"); }
    static bool WriteText(const std::wstring& path) { return harness::WriteFileBytes(path, "no version here\r\n"); }

    harness::ScratchRegistry registry;
    harness::ScratchDir dir;
    LogCapture log;
    GlobalInfo info;
};
}  // namespace

TEST_F(GetVersionsTest, EveryFieldComesFromItsOwnFile)
{
    ASSERT_TRUE(StampVersion(Unversioned(), InstalledDriver(), SimpleVersion(1, 0, 0, 5)));
    ASSERT_TRUE(StampVersion(Unversioned(), NewDriver(), SimpleVersion(2, 0, 0, 7)));
    ASSERT_TRUE(StampVersion(Unversioned(), SharedCopy(), SimpleVersion(3, 1, 4, 1)));

    ASSERT_TRUE(GetVersions(&info));
    EXPECT_EQ(MakeVersionQuad(1, 0, 0, 5), info.InstalledDriverVersion);
    EXPECT_EQ(MakeVersionQuad(2, 0, 0, 7), info.NewDriverVersion);
    EXPECT_EQ(MakeVersionQuad(12, 9, 0, 22), info.OwnVersion);
    EXPECT_EQ(MakeVersionQuad(3, 1, 4, 1), info.InstalledTovrandVersion);
    EXPECT_EQ(Concat({ReadLines(InstalledDriver()), ReadLines(NewDriver()), ReadLines(info.ModulePath.Str()),
                      ReadLines(SharedCopy())}),
              log.Messages());
}

TEST_F(GetVersionsTest, WithoutAnInstalledDriverTheNewImageIsNotOpened)
{
    // The extracted image has no version: reading it would be fatal.
    ASSERT_TRUE(WriteText(NewDriver()));
    ASSERT_TRUE(GetVersions(&info));
    EXPECT_EQ(0u, info.InstalledDriverVersion);
    EXPECT_EQ(0u, info.NewDriverVersion);
    EXPECT_EQ(MakeVersionQuad(12, 9, 0, 22), info.OwnVersion);
    EXPECT_EQ(0u, info.InstalledTovrandVersion);
    // Missing files are looked for but not read: only the running installer is.
    EXPECT_EQ(ReadLines(info.ModulePath.Str()), log.Messages());
}

TEST_F(GetVersionsTest, InstalledFilesWithoutVersionCountAsZero)
{
    struct Case
    {
        const char* name;
        bool stampWithoutFixed;   // else a plain text file
    };
    for (const Case& c : {Case{"text", false}, Case{"no fixed record", true}})
    {
        VersionSpec noFixed = SimpleVersion(9, 9, 9, 9);
        noFixed.hasFixed = false;
        if (c.stampWithoutFixed)
        {
            ASSERT_TRUE(StampVersion(Unversioned(), InstalledDriver(), noFixed));
            ASSERT_TRUE(StampVersion(Unversioned(), SharedCopy(), noFixed));
        }
        else
        {
            ASSERT_TRUE(WriteText(InstalledDriver()));
            ASSERT_TRUE(WriteText(SharedCopy()));
        }
        ASSERT_TRUE(WriteText(NewDriver()));
        log.Clear();

        ASSERT_TRUE(GetVersions(&info)) << c.name;
        EXPECT_EQ(0u, info.InstalledDriverVersion) << c.name;
        EXPECT_EQ(0u, info.NewDriverVersion) << c.name;
        EXPECT_EQ(0u, info.InstalledTovrandVersion) << c.name;
        EXPECT_EQ(Concat({ReadLines(InstalledDriver()), ReadLines(info.ModulePath.Str()), ReadLines(SharedCopy())}),
                  log.Messages())
            << c.name;
    }
}

TEST_F(GetVersionsTest, UnreadableNewDriverOrRunningInstallerIsFatal)
{
    ASSERT_TRUE(StampVersion(Unversioned(), InstalledDriver(), SimpleVersion(1, 0, 0, 5)));
    ASSERT_TRUE(StampVersion(Unversioned(), SharedCopy(), SimpleVersion(3, 1, 4, 1)));
    VersionSpec noFixed = SimpleVersion(9, 9, 9, 9);
    noFixed.hasFixed = false;
    std::wstring unversionedInstaller = dir.File(L"installer-copy.exe");
    ASSERT_TRUE(CopyFileW(Unversioned().c_str(), unversionedInstaller.c_str(), FALSE));

    struct Case
    {
        const char* name;
        int newDriver;   // 0 missing, 1 text, 2 no fixed record, 3 versioned
        bool unversionedOwn;
        std::string code;
    };
    const Case cases[] = {
        {"new driver missing", 0, false, "00000002"},
        {"new driver without resource", 1, false, "0000FFFF"},
        {"new driver without fixed record", 2, false, "0000FFFE"},
        {"running installer without resource", 3, true, "0000FFFF"},
    };
    for (const Case& c : cases)
    {
        DeleteFileW(NewDriver().c_str());
        if (c.newDriver == 1)
            ASSERT_TRUE(WriteText(NewDriver()));
        else if (c.newDriver == 2)
            ASSERT_TRUE(StampVersion(Unversioned(), NewDriver(), noFixed));
        else if (c.newDriver == 3)
            ASSERT_TRUE(StampVersion(Unversioned(), NewDriver(), SimpleVersion(2, 0, 0, 7)));
        info.ModulePath = c.unversionedOwn ? unversionedInstaller.c_str() : harness::InstallerPath().c_str();
        std::wstring failed = c.unversionedOwn ? unversionedInstaller : NewDriver();
        log.Clear();

        EXPECT_FALSE(GetVersions(&info)) << c.name;
        std::vector<std::string> messages = log.Messages();
        ASSERT_FALSE(messages.empty()) << c.name;
        EXPECT_EQ("  CVersionResource->IntializeData() returned " + c.code + " when checking " + Narrow(failed),
                  messages.back())
            << c.name;
        // Nothing is read after the failure: not the running installer, not the shared copy.
        EXPECT_EQ(0, harness::CountLines(messages, ReadLines(SharedCopy())[0])) << c.name;
        if (!c.unversionedOwn)
            EXPECT_EQ(0, harness::CountLines(messages, ReadLines(info.ModulePath.Str())[0])) << c.name;
    }
}

TEST_F(GetVersionsTest, EmptySharedDirIsDeterminedAndTheCopyThereRead)
{
    std::wstring common = dir.File(L"Common Files");
    ASSERT_TRUE(CreateDirectoryW(common.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((common + L"\\Norvatek Shared").c_str(), nullptr));
    ASSERT_TRUE(StampVersion(Unversioned(), common + L"\\Norvatek Shared\\TOVRAND64x86.EXE", SimpleVersion(13, 0, 0, 1)));
    ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", common));
    info.SharedDir = L"";

    ASSERT_TRUE(GetVersions(&info));
    EXPECT_EQ(Narrow(common + L"\\Norvatek Shared"), Narrow(info.SharedDir.Str()));
    EXPECT_EQ(MakeVersionQuad(13, 0, 0, 1), info.InstalledTovrandVersion);
    EXPECT_EQ(1, log.Count("Common Files dir location found using CommonFilesDir: " + Narrow(common)));
}

TEST_F(GetVersionsTest, MissingSharedDirIsCreatedEmpty)
{
    std::wstring common = dir.File(L"Common Files");
    ASSERT_TRUE(CreateDirectoryW(common.c_str(), nullptr));
    ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", common));
    info.SharedDir = L"";

    ASSERT_TRUE(GetVersions(&info));
    EXPECT_TRUE(harness::DirExists(common + L"\\Norvatek Shared"));
    EXPECT_EQ(0u, info.InstalledTovrandVersion);
    EXPECT_EQ(1, log.Count("Norvatek CommonFilesDir created using " + Narrow(common) + "\\Norvatek Shared"));
}

TEST_F(GetVersionsTest, NoSharedDirMeansNoCopyEvenInTheCurrentDirectory)
{
    // The shared folder cannot be created (a file has its name), so SharedDir stays empty. A copy of
    // the installer in the current directory must not be taken for the installed one.
    std::wstring common = dir.File(L"Common Files");
    ASSERT_TRUE(CreateDirectoryW(common.c_str(), nullptr));
    ASSERT_TRUE(WriteText(common + L"\\Norvatek Shared"));
    ASSERT_TRUE(harness::SetString(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CommonFilesDir", common));
    ASSERT_TRUE(StampVersion(Unversioned(), dir.File(L"TOVRAND64x86.EXE"), SimpleVersion(13, 0, 0, 1)));
    info.SharedDir = L"";
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));

    BOOL ok = GetVersions(&info);
    SetCurrentDirectoryW(saved);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(info.SharedDir.IsEmpty());
    EXPECT_EQ(0u, info.InstalledTovrandVersion);
    EXPECT_EQ(1, log.Count("Cannot create Norvatek common directory " + Narrow(common) + "\\Norvatek Shared"));
}

TEST_F(GetVersionsTest, ReaderAllocationFailureEndsTheStep)
{
    ASSERT_TRUE(StampVersion(Unversioned(), InstalledDriver(), SimpleVersion(1, 0, 0, 5)));
    ASSERT_TRUE(StampVersion(Unversioned(), NewDriver(), SimpleVersion(2, 0, 0, 7)));
    ASSERT_TRUE(StampVersion(Unversioned(), SharedCopy(), SimpleVersion(3, 1, 4, 1)));
    // The four readers, in order: installed driver, new driver, running installer, shared copy.
    for (int nth = 1; nth <= 4; ++nth)
    {
        log.Clear();
        alloc_seam::FailNth = nth;
        EXPECT_FALSE(GetVersions(&info)) << nth;
        std::vector<std::string> messages = log.Messages();
        EXPECT_EQ(1, harness::CountLines(messages, "  GetVersions: Failed to allocate memory for VersionResource."))
            << nth;
        EXPECT_EQ(2 * (nth - 1) + 1, static_cast<int>(messages.size())) << nth;
    }
    alloc_seam::FailNth = 0;
    log.Clear();
    EXPECT_TRUE(GetVersions(&info));
}
