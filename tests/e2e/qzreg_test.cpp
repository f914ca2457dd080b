// The Quazel registration program carried as payload, started the way the installer starts it: its path
// as the application name and nothing but options as the command line. The installer's own tests read
// what it records, so that record is checked here against the real program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

using namespace harness;

namespace
{
const wchar_t kKey[] = L"SOFTWARE\\Norvatek\\QuazelRegistration";

struct Build
{
    const wchar_t* relativePath;
    bool runsUnderWine;  // 32-bit programs cannot run under the test machine's Wine
};
const Build kBuilds[] = {
    {L"\\payload\\PLQZREG32.EXE", true},
    {L"\\payload\\release\\PLQZREG32.EXE", false},
};

void DeleteRecord()
{
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
}

// type and data of a value in the 64-bit view, where the 32-bit build must write too.
bool ReadValue(const wchar_t* name, DWORD* type, BYTE* data, DWORD size)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    LONG result = RegQueryValueExW(key, name, nullptr, type, data, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool ReadString(const wchar_t* name, std::wstring* value)
{
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    if (!ReadValue(name, &type, reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - sizeof(wchar_t)) || type != REG_SZ)
        return false;
    *value = buffer;
    return true;
}

bool ReadDword(const wchar_t* name, DWORD* value)
{
    DWORD type = 0;
    return ReadValue(name, &type, reinterpret_cast<BYTE*>(value), sizeof(*value)) && type == REG_DWORD;
}

// Runs program with commandLine as its whole command line and TEMP/TMP at tempDir; returns the exit code,
// or ~0u when it could not be run.
DWORD RunAsInstaller(const std::wstring& program, const std::wstring& commandLine, const std::wstring& tempDir)
{
    wchar_t oldTemp[MAX_PATH] = {};
    wchar_t oldTmp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TEMP", oldTemp, MAX_PATH);
    GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
    SetEnvironmentVariableW(L"TEMP", tempDir.c_str());
    SetEnvironmentVariableW(L"TMP", tempDir.c_str());
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    BOOL created = CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableW(L"TEMP", oldTemp);
    SetEnvironmentVariableW(L"TMP", oldTmp);
    if (!created)
        return ~0u;
    DWORD code = ~0u;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 0xDEAD);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

std::vector<std::string> LogLines(const std::wstring& tempDir)
{
    std::string raw = ReadFileBytes(tempDir + L"\\PLQZREG.LOG");
    std::vector<std::string> lines;
    for (size_t start = 0; start < raw.size();)
    {
        size_t end = raw.find("\r\n", start);
        if (end == std::string::npos)
        {
            lines.push_back(raw.substr(start));
            break;
        }
        lines.push_back(raw.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void PrintTo(const Build& build, std::ostream* os)
{
    *os << Narrow(build.relativePath);
}

class QzReg : public testing::TestWithParam<Build>
{
protected:
    void SetUp() override
    {
        if (IsWine() && !GetParam().runsUnderWine)
            GTEST_SKIP() << "32-bit programs do not run under this Wine";
        m_program = BinDir() + GetParam().relativePath;
        ASSERT_TRUE(FileExists(m_program)) << Narrow(m_program);
        DeleteRecord();
    }
    void TearDown() override { DeleteRecord(); }

    std::wstring m_program;
};

// Each step runs the program once, in the same log directory, and states the record it must leave.
struct Step
{
    const wchar_t* commandLine;
    DWORD registered;  // expected "Registered"; ~0u: absent
    bool logs;
};

TEST_P(QzReg, RecordsEachRunAsTheInstallerStartsIt)
{
    const Step steps[] = {
        // The first option is the first word: a program that skipped a "program name" would miss it.
        {L"/QZREG /64X86 /LOG", 1, true},
        {L"/QZUNREG /LOG", 0, true},
        {L"/QZREG /64X86 /CONSUMER /USEQZMANIFEST /LOG", 1, true},
        // No action and no /LOG: "Registered" keeps its value and the log gets no line.
        {L"/64X86", 1, false},
        // Unknown words are ignored; the option after them still counts.
        {L"/SOMETHINGELSE /QZUNREG", 0, false},
        // A quoted word is one word (a program path with blanks), even when it holds an option's text.
        {L"/QZREG \"C:\\odd dir /QZUNREG\\x\"", 1, false},
    };
    ScratchDir temp;
    size_t expectedLines = 0;
    for (DWORD run = 1; run <= ARRAYSIZE(steps); ++run)
    {
        const Step& step = steps[run - 1];
        SCOPED_TRACE(Narrow(step.commandLine));
        EXPECT_EQ(0u, RunAsInstaller(m_program, step.commandLine, temp.Path()));

        std::wstring last;
        ASSERT_TRUE(ReadString(L"LastCommandLine", &last));
        EXPECT_EQ(std::wstring(step.commandLine), last);
        DWORD registered = ~0u;
        ASSERT_TRUE(ReadDword(L"Registered", &registered));
        EXPECT_EQ(step.registered, registered);
        DWORD count = 0;
        ASSERT_TRUE(ReadDword(L"RunCount", &count));
        EXPECT_EQ(run, count);

        std::vector<std::string> lines = LogLines(temp.Path());
        if (step.logs)
        {
            ++expectedLines;
            ASSERT_EQ(expectedLines, lines.size());
            const std::string& line = lines.back();
            EXPECT_EQ(Narrow(step.commandLine), line.substr(line.size() - Narrow(step.commandLine).size()));
        }
        EXPECT_EQ(expectedLines, lines.size());
    }
}

TEST_P(QzReg, StartedByHandWithItsPathFirst)
{
    ScratchDir temp;
    std::wstring commandLine = L"\"" + m_program + L"\" /QZUNREG";
    EXPECT_EQ(0u, RunAsInstaller(m_program, commandLine, temp.Path()));
    std::wstring last;
    ASSERT_TRUE(ReadString(L"LastCommandLine", &last));
    EXPECT_EQ(commandLine, last);
    DWORD registered = ~0u;
    ASSERT_TRUE(ReadDword(L"Registered", &registered));
    EXPECT_EQ(0u, registered);
    EXPECT_FALSE(FileExists(temp.File(L"PLQZREG.LOG")));
}

INSTANTIATE_TEST_SUITE_P(Builds, QzReg, testing::ValuesIn(kBuilds),
                         [](const testing::TestParamInfo<Build>& info) {
                             return std::string(info.param.runsUnderWine ? "x64" : "i686");
                         });
}  // namespace
