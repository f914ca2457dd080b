// The payload written out from the test program's own "BINARYRC" resources
// (tests/context/test_payload.rc) into TempDir, and removed again.
#include <gtest/gtest.h>

#include <algorithm>

#include "context/globalinfo.h"
#include "context/locations.h"
#include "harness.h"
#include "log_capture.h"

using harness::LogCapture;

using harness::Narrow;

namespace
{
// A literal's bytes, zeros included.
template <size_t N>
std::string Bytes(const char (&text)[N])
{
    return std::string(text, N - 1);
}

// The bytes of tests/context/test_payload.rc.
struct Payload
{
    int id;
    const wchar_t* name;
    std::string bytes;
};
const Payload kSys = {110, L"PELLIMAR64x86.SYS", Bytes("MZ driver image 110\0\377\376\001\002\r\nend of SYS")};
const Payload kInf = {112, L"PELLIMAR64x86.INF",
                      Bytes("[Version]\r\nSignature=\"$Windows NT$\"\r\n; INF 112\0\200\201")};
const Payload kCat = {113, L"PELLIMAR64x86.CAT", Bytes("\060\202\035\152 catalogue 113\0\0\0\377")};
const Payload kQz = {114, L"PLQZREG32.EXE", Bytes("MZ registration program 114\0\001")};
const Payload kKvm = {119, L"PELLMAR.KVM", Bytes("KVM manifest 119\0\251\252\253")};
const Payload kGrd = {120, L"PELLMAR.GRD", Bytes("[Manifest]\r\nFile=PELLMAR.KVM\r\n[Digest]\r\nSHA1=120\r\n")};
const Payload kSig = {121, L"PELLMAR.SIG", Bytes("\060\202\010\341 signature 121\0\177\200")};
const std::vector<const Payload*> kAllSix = {&kSys, &kKvm, &kGrd, &kSig, &kInf, &kCat};

std::vector<std::wstring> Listing(const std::wstring& dir)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if (data.cFileName[0] != L'.')
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

class PayloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        info.Instance = GetModuleHandleW(nullptr);
        info.MakerDir = dir.File(L"Norvatek").c_str();
        info.TempDir = dir.File(L"Norvatek\\TEMP.^^^").c_str();
        ASSERT_TRUE(CreateDirectoryW(info.MakerDir.Str(), nullptr));
    }

    std::wstring Temp(const wchar_t* name) const { return std::wstring(info.TempDir.Str()) + L"\\" + name; }
    // TempDir holds exactly these files, each with its resource's bytes.
    void ExpectExactly(const std::vector<const Payload*>& files) const
    {
        std::vector<std::wstring> names;
        for (const Payload* p : files)
        {
            EXPECT_EQ(p->bytes, harness::ReadFileBytes(Temp(p->name))) << Narrow(p->name);
            names.push_back(p->name);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, Listing(info.TempDir.Str()));
    }

    harness::ScratchDir dir;
    LogCapture log;
    GlobalInfo info;
};
}  // namespace

TEST_F(PayloadTest, ExtractWritesEveryFileByteForByte)
{
    ASSERT_TRUE(ExtractFiles(&info));
    EXPECT_TRUE(harness::DirExists(info.TempDir.Str()));
    // The registration program is not part of the extraction.
    ExpectExactly(kAllSix);
    EXPECT_EQ(std::vector<std::string>(), log.Messages());
}

TEST_F(PayloadTest, WithoutManifestsOnlyTheDriverFiles)
{
    info.KvManifest = FALSE;
    ASSERT_TRUE(ExtractFiles(&info));
    ExpectExactly({&kSys, &kInf, &kCat});
    EXPECT_EQ(std::vector<std::string>(), log.Messages());
}

TEST_F(PayloadTest, LeftoverTempDirIsReusedAndItsFilesReplaced)
{
    ASSERT_TRUE(CreateDirectoryW(info.TempDir.Str(), nullptr));
    for (const Payload* p : kAllSix)
        ASSERT_TRUE(harness::WriteFileBytes(Temp(p->name), std::string(4096, 'Z')));   // longer than the new ones
    ASSERT_TRUE(ExtractFiles(&info));
    ExpectExactly(kAllSix);
    EXPECT_EQ(std::vector<std::string>(), log.Messages());
}

TEST_F(PayloadTest, TempDirThatCannotBeCreated)
{
    ASSERT_TRUE(harness::WriteFileBytes(info.TempDir.Str(), "a file in the folder's place"));
    EXPECT_FALSE(ExtractFiles(&info));
    EXPECT_EQ(std::vector<std::string>({"Cannot create temporary directory"}), log.Messages());
    EXPECT_EQ(std::vector<std::wstring>({L"TEMP.^^^"}), Listing(info.MakerDir.Str()));
}

TEST_F(PayloadTest, DriverImageThatCannotBeCreatedStopsTheExtraction)
{
    struct Case
    {
        const char* name;
        int kind;   // 0 read-only file, 1 directory of that name, 2 file held open without sharing
        const char* code;
    };
    const Case cases[] = {
        // Windows refuses to replace a read-only file; Wine 8 replaces it, so there this case is skipped.
        {"read-only file", 0, "0x00000005"},
        {"directory", 1, "0x00000005"},
        {"held open", 2, "0x00000020"},
    };
    for (const Case& c : cases)
    {
        if (c.kind == 0 && harness::IsWine())
            continue;
        harness::RemoveTree(info.TempDir.Str());
        ASSERT_TRUE(CreateDirectoryW(info.TempDir.Str(), nullptr));
        std::wstring sys = Temp(kSys.name);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.kind == 1)
        {
            ASSERT_TRUE(CreateDirectoryW(sys.c_str(), nullptr));
        }
        else
        {
            ASSERT_TRUE(harness::WriteFileBytes(sys, "old driver"));
            if (c.kind == 0)
                ASSERT_TRUE(SetFileAttributesW(sys.c_str(), FILE_ATTRIBUTE_READONLY));
            else
                held = CreateFileW(sys.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        log.Clear();

        EXPECT_FALSE(ExtractFiles(&info)) << c.name;
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(std::vector<std::string>({std::string("   Error - CreateFile failed with code ") + c.code}),
                  log.Messages())
            << c.name;
        // Nothing after the driver image was attempted, and the old one is untouched.
        EXPECT_EQ(std::vector<std::wstring>({kSys.name}), Listing(info.TempDir.Str())) << c.name;
        if (c.kind != 1)
            EXPECT_EQ("old driver", harness::ReadFileBytes(sys)) << c.name;
    }
}

TEST_F(PayloadTest, MissingResources)
{
    // A module without any payload: the first file is not found and nothing is written.
    info.Instance = GetModuleHandleW(L"kernel32.dll");
    EXPECT_FALSE(ExtractFiles(&info));
    EXPECT_EQ(std::vector<std::string>({"   Error - Cannot find resource 110"}), log.Messages());
    EXPECT_EQ(std::vector<std::wstring>(), Listing(info.TempDir.Str()));

    // An unknown id, and a known id asked for under another type.
    struct Case
    {
        int id;
        const wchar_t* type;
    };
    for (const Case& c : {Case{999, L"BINARYRC"}, Case{110, MAKEINTRESOURCEW(10)}})
    {
        log.Clear();
        std::wstring path = Temp(L"out.bin");
        EXPECT_NE(0u, WriteResourceToFile(GetModuleHandleW(nullptr), c.id, c.type, path.c_str())) << c.id;
        EXPECT_EQ(std::vector<std::string>({"   Error - Cannot find resource " + std::to_string(c.id)}),
                  log.Messages());
        EXPECT_FALSE(harness::FileExists(path)) << c.id;
    }
}

TEST_F(PayloadTest, WriteResourceToFileReplacesAFile)
{
    ASSERT_TRUE(CreateDirectoryW(info.TempDir.Str(), nullptr));
    std::wstring path = Temp(kQz.name);
    ASSERT_TRUE(harness::WriteFileBytes(path, std::string(1000, 'Q')));
    EXPECT_EQ(0u, WriteResourceToFile(GetModuleHandleW(nullptr), kQz.id, L"BINARYRC", path.c_str()));
    EXPECT_EQ(kQz.bytes, harness::ReadFileBytes(path));
    EXPECT_EQ(std::vector<std::string>(), log.Messages());

    // Into a directory that does not exist: the creation fails with "path not found".
    std::wstring nowhere = dir.File(L"missing\\PLQZREG32.EXE");
    EXPECT_NE(0u, WriteResourceToFile(GetModuleHandleW(nullptr), kQz.id, L"BINARYRC", nowhere.c_str()));
    EXPECT_EQ(std::vector<std::string>({"   Error - CreateFile failed with code 0x00000003"}), log.Messages());
}

TEST_F(PayloadTest, RemoveDeletesAllSixNamesAndTheDirectory)
{
    // The manifests go too although this run would not have written them.
    info.KvManifest = FALSE;
    ASSERT_TRUE(CreateDirectoryW(info.TempDir.Str(), nullptr));
    for (const Payload* p : kAllSix)
        ASSERT_TRUE(harness::WriteFileBytes(Temp(p->name), p->bytes));
    EXPECT_TRUE(RemoveExtractedFiles(&info));
    EXPECT_FALSE(harness::DirExists(info.TempDir.Str()));
    EXPECT_TRUE(harness::DirExists(info.MakerDir.Str()));

    // Nothing left to remove: still TRUE, nothing logged.
    log.Clear();
    EXPECT_TRUE(RemoveExtractedFiles(&info));
    EXPECT_EQ(std::vector<std::string>(), log.Messages());
}

TEST_F(PayloadTest, ForeignFileKeepsTheDirectory)
{
    ASSERT_TRUE(ExtractFiles(&info));
    ASSERT_TRUE(harness::WriteFileBytes(Temp(L"foreign.txt"), "not ours"));
    ASSERT_TRUE(harness::WriteFileBytes(Temp(kQz.name), kQz.bytes));   // not one of the six either
    EXPECT_TRUE(RemoveExtractedFiles(&info));
    EXPECT_EQ(std::vector<std::wstring>({L"PLQZREG32.EXE", L"foreign.txt"}), Listing(info.TempDir.Str()));
    EXPECT_EQ(1, log.Count("Cannot remove directory: " + Narrow(info.TempDir.Str()) + ", Error 145"));
}

TEST_F(PayloadTest, EmptyTempDirRemovesNothingFromTheCurrentDirectory)
{
    for (const Payload* p : kAllSix)
        ASSERT_TRUE(harness::WriteFileBytes(dir.File(p->name), p->bytes));
    info.TempDir = L"";
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
    BOOL ok = RemoveExtractedFiles(&info);
    SetCurrentDirectoryW(saved);
    EXPECT_TRUE(ok);
    for (const Payload* p : kAllSix)
        EXPECT_TRUE(harness::FileExists(dir.File(p->name))) << Narrow(p->name);
}
