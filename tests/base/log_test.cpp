#include <gtest/gtest.h>

#include <string>

#include "base/log.h"
#include "log_capture.h"

using namespace harness;

TEST(Log, WideStringsThroughPercentSAreWrittenWhole)
{
    LogCapture log;
    // The format mixes the program's conversions; %s must take the wide text, not its first byte.
    LogEvent(L"Copying file %s (%d, %u, 0x%08X, %02d)", L"C:\\Program Files\\Norvatek\\TEMP.^^^\\PELLIMAR64x86.SYS",
             -1, 4000000000u, 0x80070BC2u, 7);
    std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("Copying file C:\\Program Files\\Norvatek\\TEMP.^^^\\PELLIMAR64x86.SYS (-1, 4000000000, 0x80070BC2, 07)",
              messages[0]);
}

TEST(Log, CharactersBeyondLatin1BecomeQuestionMarksAndTheLineSurvives)
{
    LogCapture log;
    LogEvent(L"Path: %s", L"C:\\Ünïcode\\\x65E5\x672C\\end");
    std::string raw = ReadFileBytes(log.LogPath());
    std::string expected = "Path: C:\\\xDCn\xEF" "code\\??\\end\r\n";
    ASSERT_GE(raw.size(), expected.size());
    EXPECT_EQ(expected, raw.substr(raw.size() - expected.size()));
}

TEST(Log, MessagesLongerThan578CharactersLeaveOnlyTheHeader)
{
    LogCapture log;
    std::wstring fits(578, L'x');
    std::wstring tooLong(579, L'y');
    LogEvent(L"%s", fits.c_str());
    LogEvent(L"%s", tooLong.c_str());
    LogEvent(L"");
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(std::string(578, 'x'), MessageOf(lines[0]));
    // Header, one blank, then the line end: nothing of the message.
    EXPECT_EQ(' ', lines[1].back());
    EXPECT_EQ("", MessageOf(lines[1]));
    EXPECT_EQ("", MessageOf(lines[2]));
    EXPECT_EQ(lines[1].size(), lines[2].size());
}

TEST(Log, AMessageEndingInANewlineIsFollowedByAnEmptyLine)
{
    LogCapture log;
    LogEvent(L"SetUpDelete: Setup succeeded\n");
    LogEvent(L"next");
    std::string raw = ReadFileBytes(log.LogPath());
    EXPECT_NE(std::string::npos, raw.find("SetUpDelete: Setup succeeded\r\n\r\n["));
}

TEST(Log, ALogHeldWithoutSharingLosesTheLineButNotTheRun)
{
    LogCapture log;
    LogEvent(L"before");
    HANDLE held = CreateFileW(log.LogPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    LogEvent(L"while held");   // goes to the debugger output
    CloseHandle(held);
    LogEvent(L"after");
    std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("before", messages[0]);
    EXPECT_EQ("after", messages[1]);
}

TEST(Log, AppendsToAnExistingFile)
{
    LogCapture log;
    ASSERT_TRUE(WriteFileBytes(log.LogPath(), "earlier run\r\n"));
    LogEvent(L"this run");
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("earlier run", lines[0]);
    EXPECT_EQ("this run", MessageOf(lines[1]));
}
