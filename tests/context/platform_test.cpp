#include <gtest/gtest.h>

#include <stdio.h>
#include <string>
#include <vector>

#include "context/globalinfo.h"
#include "context/platform.h"
#include "harness.h"

namespace
{
OSVERSIONINFOW Record(DWORD platform, DWORD major, DWORD minor, DWORD build)
{
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof(v);
    v.dwPlatformId = platform;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = build;
    return v;
}

void FillSystemDir(GlobalInfo& info)
{
    info.SystemDir.Buffer()[GetSystemDirectoryW(info.SystemDir.Buffer(), 259)] = L'\0';
}

const wchar_t kProbeVariable[] = L"TOVRAND_PLATFORM_PROBE";
const wchar_t kProbeReport[] = L"platform_probe.txt";

// Marks the children as probes, and removes the mark and the version override however the test ends.
class ProbeSetting
{
public:
    explicit ProbeSetting(const std::wstring& key) : m_key(key) { SetEnvironmentVariableW(kProbeVariable, L"1"); }
    ~ProbeSetting()
    {
        SetEnvironmentVariableW(kProbeVariable, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, m_key.c_str());
    }

private:
    std::wstring m_key;
};
}  // namespace

TEST(Platform, ClassifiesEveryVersionRecord)
{
    const DWORD nt = VER_PLATFORM_WIN32_NT;
    const DWORD w9x = VER_PLATFORM_WIN32_WINDOWS;
    struct Case
    {
        DWORD platform, major, minor, build, code;
    } cases[] = {
        {nt, 6, 1, 7601, 14},
        {nt, 6, 2, 9200, 32000},
        {nt, 10, 0, 19045, 32000},
        {nt, 6, 0, 6002, 13},
        {nt, 6, 3, 9600, 32000},
        {nt, 7, 0, 0, 32000},
        {nt, 5, 0, 2195, 9},
        {nt, 5, 1, 2600, 11},
        {nt, 5, 2, 3790, 12},
        {nt, 5, 3, 0, 32000},
        {nt, 4, 0, 1381, 10},
        {nt, 4, 1, 0, 32000},
        {nt, 3, 51, 1057, 3},
        {nt, 3, 50, 807, 3},
        {nt, 3, 49, 0, 4},
        {nt, 3, 10, 528, 4},
        {nt, 0, 0, 0, 4},
        {w9x, 4, 10, 2222, 7},
        {w9x, 4, 10, 0x040A08AE, 7},   // as 9x reports it: the version in the high word
        {w9x, 4, 10, 2221, 5},
        {w9x, 4, 10, 1998, 5},
        {w9x, 4, 10, 0x040A07CE, 5},   // a high word above 2222 must not make it SE
        {w9x, 4, 89, 2222, 7},
        {w9x, 4, 90, 3000, 8},
        {w9x, 4, 90, 0, 8},
        {w9x, 4, 0, 1111, 6},
        {w9x, 4, 0, 0x04000457, 6},
        {w9x, 4, 0, 950, 1},
        {w9x, 4, 0, 0x040003B6, 1},
        {w9x, 4, 0, 0xFFFF0000, 1},
        {w9x, 4, 9, 1111, 6},
        {w9x, 5, 10, 5000, 1},
        {w9x, 3, 0, 1111, 6},
        {w9x, 3, 0, 0x00FF0457, 6},
        {w9x, 3, 0, 1110, 1},
        {VER_PLATFORM_WIN32s, 4, 10, 2222, 0},
        {3, 6, 1, 7601, 0},
        {0, 0, 0, 0, 0},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.code, ClassifyOsVersion(Record(c.platform, c.major, c.minor, c.build)))
            << "platform " << c.platform << ", " << c.major << "." << c.minor << " build 0x" << std::hex << c.build;
    }
}

TEST(Platform, NamesEveryCode)
{
    struct Case
    {
        DWORD code;
        const wchar_t* name;
    } cases[] = {
        {1, L"Windows 95"},
        {2, L"Windows NT (Undetermined)"},
        {3, L"Windows NT 3.5x"},
        {4, L"Windows NT 3.0"},
        {5, L"Windows 98"},
        {6, L"Windows 95 OSR 2.X"},
        {7, L"Windows 98 SE"},
        {8, L"Windows Millenium"},
        {9, L"Windows 2000"},
        {10, L"Windows NT >=4.0"},
        {11, L"Windows XP"},
        {12, L"Windows Server 2003 (32/64bit) or XP (x64)"},
        {13, L"Windows Vista"},
        {14, L"Windows 7"},
        {32000, L"New version of Windows (Unknown)"},
        {0, L"Unknown"},
        {15, L"Unknown"},
        {31999, L"Unknown"},
        {32001, L"Unknown"},
        {0xFFFFFFFF, L"Unknown"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(c.name, OsVersionName(c.code)) << "code " << c.code;
}

// This process is a 64-bit one on the machine as it is (Wine's default is Windows 7).
TEST(Platform, RealSystemIsSupportedWithoutAWord)
{
    static_assert(sizeof(void*) == 8, "the installer is a 64-bit program");
    harness::ScratchDir temp;
    wchar_t oldTmp[1024] = L"", oldTemp[1024] = L"";
    DWORD hadTmp = GetEnvironmentVariableW(L"TMP", oldTmp, 1024);
    DWORD hadTemp = GetEnvironmentVariableW(L"TEMP", oldTemp, 1024);
    SetEnvironmentVariableW(L"TMP", temp.Path().c_str());
    SetEnvironmentVariableW(L"TEMP", temp.Path().c_str());

    GlobalInfo info;
    FillSystemDir(info);
    ASSERT_FALSE(info.SystemDir.IsEmpty());
    DetectOsVersion(&info);
    EXPECT_FALSE(IsRunningUnderWow64(&info));
    EXPECT_TRUE(IsOSSupported(&info));
    EXPECT_TRUE(IsWinVistaOrBetter());
    if (harness::IsWine())
        EXPECT_EQ(14u, info.OsVersion);
    else
        EXPECT_TRUE(info.OsVersion == 14 || info.OsVersion == 32000) << info.OsVersion;
    EXPECT_TRUE(harness::ReadLog(temp.Path()).empty());

    SetEnvironmentVariableW(L"TMP", hadTmp ? oldTmp : nullptr);
    SetEnvironmentVariableW(L"TEMP", hadTemp ? oldTemp : nullptr);
}

// Wine's per-program Windows version drives the real GetVersionExW. A copy of this test program
// under a name of its own is run once per version, with this same test acting as the probe inside
// it; the override never reaches any other program.
TEST(Platform, FollowsThePerProgramWindowsVersion)
{
    wchar_t probe[16];
    if (GetEnvironmentVariableW(kProbeVariable, probe, 16) != 0)
    {
        GlobalInfo info;
        FillSystemDir(info);
        DetectOsVersion(&info);
        BOOL supported = IsOSSupported(&info);
        BOOL vista = IsWinVistaOrBetter();
        wchar_t report[MAX_PATH];
        DWORD n = GetTempPathW(MAX_PATH, report);
        lstrcpyW(report + n, kProbeReport);
        char text[64];
        int length = sprintf(text, "%lu %d %d", static_cast<unsigned long>(info.OsVersion), supported, vista);
        ASSERT_TRUE(harness::WriteFileBytes(report, std::string(text, length)));
        return;
    }
    if (!harness::IsWine())
        GTEST_SKIP() << "the per-program Windows version is Wine's";

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    harness::ScratchDir dir;
    const std::wstring exeName = L"tovrand_platform_probe.exe";
    const std::wstring copy = dir.File(exeName);
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + exeName;

    struct Case
    {
        const wchar_t* version;   // null: Wine's default
        const char* report;       // code, IsOSSupported, IsWinVistaOrBetter
    } cases[] = {
        {nullptr, "14 1 1"},
        {L"win10", "32000 1 1"},
        {L"winxp64", "12 1 0"},
        {L"win2k", "9 1 0"},
        {L"nt40", "10 0 0"},
        {L"win98", "7 0 0"},
    };
    ProbeSetting setting(key);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.version != nullptr ? harness::Narrow(c.version) : "default");
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        if (c.version != nullptr)
        {
            HKEY k;
            ASSERT_EQ(0, RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                                         nullptr));
            RegSetValueExW(k, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(c.version),
                           (lstrlenW(c.version) + 1) * sizeof(wchar_t));
            RegCloseKey(k);
        }
        harness::ScratchDir temp;
        harness::Process run = harness::Run(
            L"\"" + copy + L"\" --gtest_filter=Platform.FollowsThePerProgramWindowsVersion", temp.Path());
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ(c.report, harness::ReadFileBytes(temp.File(kProbeReport)));
        // The checks themselves write nothing; refusing is left to the caller's one line.
        EXPECT_TRUE(harness::ReadLog(temp.Path()).empty());
    }
}
