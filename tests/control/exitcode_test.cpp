#include <gtest/gtest.h>

#include "control/entry.h"
#include "log_capture.h"

using namespace harness;

TEST(ExitCode, RunResultAndHResultSwitchMapToTheExitCodeAndItsLine)
{
    struct Case { DWORD runResult; BOOL hresult; DWORD exitCode; const char* line; };
    const Case cases[] = {
        {0, FALSE, 0, "Returning: 0 - Success, no reboot required."},
        {0, TRUE, 0, "Returning: 0 - Success, no reboot required."},
        {1, FALSE, 1, "Returning: RETURN_REBOOT_REQUIRED (0x1)"},
        {1, TRUE, 0x80070BC2, "Returning: HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED) (0x80070BC2)"},
        {8, FALSE, 8, "Returning: RETURN_REBOOT_IF_USING_VDD (0x8)"},
        {8, TRUE, 8, "Returning: RETURN_REBOOT_IF_USING_VDD (0x8)"},
        {5, FALSE, 5, "Returning: Error (0x5)"},
        {5, TRUE, 0x80004005, "Returning: E_FAIL (0x80004005)"},
    };
    for (const Case& c : cases)
    {
        LogCapture log;
        EXPECT_EQ(c.exitCode, MapRunResult(c.runResult, c.hresult)) << c.line;
        std::vector<std::string> messages = log.Messages();
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(c.line, messages[0]);
    }
}
