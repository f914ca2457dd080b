// Bad command lines given to the real installer: overlong arguments and AppIDs, characters that have
// no place in an AppID, quotes left open. Each is refused with its exact ERROR lines and exit code 0,
// and leaves the machine, another product included, exactly as it was.
#include "faults.h"

using namespace harness;

namespace
{
const char kArgumentTooLong[] = "ERROR: A command line argument is longer than 263 characters.";
const char kAppIdTooLong[] = "ERROR: The AppID is longer than 47 characters.";
const char kAppIdBadChar[] = "ERROR: The AppID must not contain a backslash or a control character.";
const char kQuoteOpen[] = "ERROR: A quote on the command line is not closed.";
const char kUninstallNeedsAppId[] = "ERROR: Uninstall requires an AppID to be passed in as the last parameter.";
}  // namespace

class FaultCmdline : public FaultTest
{
};

TEST_F(FaultCmdline, BadCommandLinesAreRefusedWithTheirErrorsAndTouchNothing)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTB", L"Product B");
    const std::wstring a300(300, L'A');
    const std::wstring a48(48, L'A');
    struct Case
    {
        std::wstring args;
        std::vector<std::string> errors;   // consecutive, in this order
    };
    const Case cases[] = {
        {L"/Q " + a300, {kArgumentTooLong, kAppIdTooLong}},
        {L"/Q \"" + a300 + L"\"", {kArgumentTooLong, kAppIdTooLong}},
        {L"/U /Q " + a300, {kArgumentTooLong, kAppIdTooLong}},
        // Not the AppID, still refused: the argument was cut, so what it said is not known.
        {L"/Q " + a300 + L" PRODUCTA", {kArgumentTooLong}},
        {L"/U /Q /" + a300 + L" PRODUCTB", {kArgumentTooLong}},
        {L"/Q " + a48, {kAppIdTooLong}},
        {L"/U /Q " + a48, {kAppIdTooLong}},
        {L"/Q PRODUCT\\B", {kAppIdBadChar}},
        {L"/U /Q ..\\PRODUCTB", {kAppIdBadChar}},
        {L"/U /Q \"PRODUCT\tB\"", {kAppIdBadChar}},
        {L"/Q \"PRODUCTA\x01\"", {kAppIdBadChar}},
        {L"/Q " + a48 + L"\\B", {kAppIdTooLong, kAppIdBadChar}},
        // A quote left open swallows what follows: the switches after it are not what the caller meant.
        {L"\"PRODUCTA /U /Q", {kQuoteOpen}},
        {L"/U /Q \"PRODUCTB", {kQuoteOpen}},
        {L"/U /Q PRODUCTB \"", {kQuoteOpen}},
        {L"/U /Q \"", {kUninstallNeedsAppId, kQuoteOpen}},
        {L"/Q \"" + a300, {kArgumentTooLong, kAppIdTooLong, kQuoteOpen}},
    };
    const std::string before = DumpState();
    for (const Case& c : cases)
    {
        std::string name = Narrow(c.args).substr(0, 60);
        InstallerRun run = Run(c.args);
        ASSERT_TRUE(run.process.finished) << name;
        EXPECT_EQ(0u, run.process.exitCode) << name;
        int first = run.Find(c.errors[0]);
        ASSERT_GE(first, 0) << name << ": no '" << c.errors[0] << "'";
        for (size_t i = 1; i < c.errors.size(); ++i)
            EXPECT_EQ(first + static_cast<int>(i), run.Find(c.errors[i])) << name << ": '" << c.errors[i] << "'";
        EXPECT_EQ(first + static_cast<int>(c.errors.size()), run.Find("Tovrand GlobalInfo::Init() failed")) << name;
        // Nothing else is refused, and nothing of the start-up runs.
        int errorLines = 0;
        for (const std::string& m : run.messages)
            errorLines += m.compare(0, 7, "ERROR: ") == 0 ? 1 : 0;
        EXPECT_EQ(static_cast<int>(c.errors.size()), errorLines) << name;
        EXPECT_FALSE(run.Has("64-bit Installer")) << name;
        EXPECT_EQ(0, run.boxes) << name;
        EXPECT_TRUE(Chain(run.messages).empty()) << name;
        EXPECT_EQ(before, DumpState()) << name;
        ExpectBystandersUntouched(name);
    }
}

// The limits are exact: a 263-character argument and a 47-character AppID are taken as they are.
TEST_F(FaultCmdline, ArgumentsAtTheLimitsAreAccepted)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    const std::wstring appId47(47, L'P');
    InstallerRun run = Run(L"/Q /NOREGQZ " + std::wstring(263, L'X') + L" " + appId47);
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\" + appId47, L"Dir1"));
    EXPECT_EQ("2", MainCount());
    // A closed quote keeps blanks and switch characters: the AppID is the quoted text.
    InstallerRun quoted = Run(L"/Q /NOREGQZ \"PRODUCT /C\"");
    ASSERT_TRUE(quoted.process.finished);
    EXPECT_EQ(0u, quoted.process.exitCode);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCT /C"));
    EXPECT_EQ("3", MainCount());
    ExpectBystandersUntouched("at the limits");
}
