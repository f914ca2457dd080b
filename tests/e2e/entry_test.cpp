// The process entry through the real installer: log format, the single-instance lock.
#include <gtest/gtest.h>

#include <regex>

#include "harness.h"

using namespace harness;

namespace
{
const char kSeparator[] = "--------------------------------------------------";
}

TEST(Entry, LogLinesCarryHeaderPidAndCrLf)
{
    ScratchDir temp;
    Process p = RunInstaller(L"/Q", temp.Path());
    ASSERT_TRUE(p.finished);
    EXPECT_EQ(0u, p.exitCode);

    std::string raw = ReadFileBytes(temp.File(L"PELLIMAR.LOG"));
    ASSERT_FALSE(raw.empty());
    // Every line ends in CR LF, and there is no lone LF.
    EXPECT_EQ("\r\n", raw.substr(raw.size() - 2));
    for (size_t i = raw.find('\n'); i != std::string::npos; i = raw.find('\n', i + 1))
        EXPECT_EQ('\r', raw[i - 1]) << "lone LF at " << i;

    std::vector<std::string> lines = ReadLog(temp.Path());
    std::regex header(R"(\[(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\]\[PID:(\d+)\] .*)");
    for (const std::string& line : lines)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, header)) << line;
        EXPECT_EQ(std::to_string(p.pid), m[7].str());
        EXPECT_LE(std::stoi(m[1].str()), 12);
        EXPECT_LE(std::stoi(m[4].str()), 23);
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(kSeparator, MessageOf(lines.front()));
    EXPECT_EQ("Returning: 0 - Success, no reboot required.", MessageOf(lines.back()));
    EXPECT_GE(FindLine(lines, "  Successfully acquired mutex."), 0);
}

TEST(Entry, HeldLockMakesTheRunWaitFiveSecondsThenGoOn)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\Pellimar_running");
    ASSERT_NE(nullptr, mutex);
    ScratchDir temp;
    DWORD start = GetTickCount();
    Process p = RunInstaller(L"/Q", temp.Path());
    DWORD elapsed = GetTickCount() - start;
    ReleaseMutex(mutex);
    CloseHandle(mutex);

    ASSERT_TRUE(p.finished);
    EXPECT_EQ(0u, p.exitCode);
    EXPECT_GE(elapsed, 4800u);
    std::vector<std::string> lines = ReadLog(temp.Path());
    int acquiring = FindLine(lines, "Acquiring Global\\Pellimar_running mutex...");
    ASSERT_GE(acquiring, 0);
    EXPECT_EQ(acquiring + 1, FindLine(lines, "  The other instance of tovrand still has the mutex, something must be "
                                             "wrong with it, continuing anyway."));
    EXPECT_GE(FindLine(lines, "Returning: 0 - Success, no reboot required."), 0);
}

TEST(Entry, AbandonedLockIsTakenOver)
{
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"TovrandTestHolderReady");
    ASSERT_NE(nullptr, ready);
    HANDLE holder = Start(L"\"" + BinDir() + L"\\mutexholder.exe\" TovrandTestHolderReady", L"");
    ASSERT_NE(nullptr, holder);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 10000));
    // Our own handle keeps the mutex object alive after its owner dies, so it is left abandoned.
    HANDLE keep = CreateMutexW(nullptr, FALSE, L"Global\\Pellimar_running");
    TerminateProcess(holder, 9);
    WaitForSingleObject(holder, 5000);
    CloseHandle(holder);
    CloseHandle(ready);

    ScratchDir temp;
    Process p = RunInstaller(L"/Q", temp.Path());
    CloseHandle(keep);
    ASSERT_TRUE(p.finished);
    EXPECT_EQ(0u, p.exitCode);
    std::vector<std::string> lines = ReadLog(temp.Path());
    EXPECT_GE(FindLine(lines, "  The other instance of tovrand exited without releasing the mutex.  It's ours now."), 0);
}
