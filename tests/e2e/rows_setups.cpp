// Product setups that run the installer, as their customers run them: the demo MSI through the real
// msiexec (TovrandCA.dll's actions, Tovrand.wxi's sequence) and the demo NSIS setup and its uninstaller
// (Tovrand.nsh). Each step checks the setup's full exit code, the installer's log lines, the machine
// (InstalledApps listing included) and the state check's verdict.
//
// What Wine 8 does differently, and what each row therefore expects:
// - msiexec ends a package whose program action failed with 1627 (Windows: 1603, as for any failed
//   action); a failing DLL action ends it with 1603 on both.
// - Rollback actions run after the package's files and registry values are gone (Windows runs them
//   first, in reverse order): the install's rollback finds the product's own installer copy removed and
//   runs the shared copy, as TovrandCA.dll falls back to it.
// - MsiSetMode works in a deferred action under Wine; TovrandCA.dll never relies on it.
// - A second rolled-back uninstall of the same install leaves the product's folder gone under Wine
//   (its rollback does not bring the files back): each row rolls back one uninstall per install.
#include <sstream>

#include "rows.h"

using namespace harness;

namespace
{
const wchar_t kMsi[] = L"$bin\\setups\\TovrandDemo.msi";
const wchar_t kMsi2[] = L"$bin\\setups\\TovrandDemo2.msi";    // version 2, a major upgrade
const wchar_t kMsi32[] = L"$bin\\setups\\TovrandDemo32.msi";  // the Intel package
const wchar_t kMsiLog[] = L"$work\\msi.log";
const wchar_t kServiceTemp[] = L"$windows\\Temp";
const wchar_t kMsiDir[] = L"$programs\\Norvatek Demo MSI";
const wchar_t kNsisDir[] = L"$programs\\Norvatek Demo NSIS";
const wchar_t kNsisDir32[] = L"$programs (x86)\\Norvatek Demo NSIS";   // the x86 setup's, under WoW64
// The NSIS demo keeps its own key in the 32-bit view, as an x86 setup does.
const wchar_t kNsisUninstallKey[] = L"Software\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NorvatekDemoNsis";
const wchar_t kNsisUninstallKey64[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NorvatekDemoNsis";
// What a Windows setup reports when a restart is needed to finish (ERROR_SUCCESS_REBOOT_REQUIRED).
const DWORD kRestartRequired = 3010;
const DWORD kLaterStepFailed = IsWine() ? 1627 : ERROR_INSTALL_FAILURE;

// The machine after a setup's run, from Expected's outline: the demo setups list their AppIDs under
// InstalledApps for exactly the products registered, and write no SharedUsage values. After an
// uninstall the installer has removed the emptied maker's directory.
std::string Machine(const std::string& outline, bool afterUninstall = false)
{
    std::istringstream words(outline.substr(0, outline.find(';')));
    std::string word, listed;
    words >> word;
    while (words >> word)
        if (!isdigit(static_cast<unsigned char>(word[0])) && word[0] != 'q')
            listed += (listed.empty() ? "PRODUCT" : " PRODUCT") + word;
    return outline + "; sharedusage=; listed=" + listed +
           (afterUninstall && outline.rfind("inst", 0) == 0 ? "; makerdir=absent" : "");
}

// Whatever a failed row leaves of the demo products goes with the case: a product still registered
// with Windows Installer would turn the next case's install into a repair.
Op ForgetProducts(const wchar_t* msi = kMsi)
{
    return [msi](Context& c) {
        c.undo.push_back([msi](Context& c) {
            ScratchDir temp;
            Wait(Start(L"msiexec.exe /x \"" + Expand(c, msi) + L"\" /qn /norestart", temp.Path()));
            DeleteTree(kNsisUninstallKey);
            DeleteTree(kNsisUninstallKey64);
            RemoveTree(Expand(c, kNsisDir));
            RemoveTree(Expand(c, kNsisDir32));
        });
    };
}

// msiexec /i or /x of the demo MSI, quiet, with a verbose log. /norestart: a quiet msiexec that needs a
// restart on Windows restarts by itself unless told not to (it then ends 3010). The installer that a
// deferred action starts runs as LocalSystem on Windows and logs to its TEMP, %SystemRoot%\Temp; Wine
// passes msiexec's environment on, so msiexec is given that TEMP and the log is read there on both.
Step Msi(const std::wstring& action, const std::wstring& properties = L"", const wchar_t* msi = kMsi)
{
    Step step = Run(action + L" \"" + msi + L"\" /qn /norestart /l*v \"" + kMsiLog + L"\"" +
                    (properties.empty() ? L"" : L" " + properties));
    return step.Exe(L"$windows\\system32\\msiexec.exe").Temp(kServiceTemp).Before(ForgetProducts(msi))
        .Before(Delete(std::wstring(kServiceTemp) + L"\\PELLIMAR.LOG"));
}

// The amd64 setup, or with x86 the 32-bit one.
Step NsisSetup(bool x86 = false)
{
    return Run(L"/S").Exe(x86 ? L"$bin\\setups\\TovrandDemoSetup32.exe" : L"$bin\\setups\\TovrandDemoSetup.exe")
        .Before(ForgetProducts());
}

// In place (_?=): otherwise the uninstaller copies itself to TEMP, starts the copy and returns at once.
Step NsisUninstall(const wchar_t* dir = kNsisDir)
{
    return Run(L"/S _?=" + std::wstring(dir)).Exe(std::wstring(dir) + L"\\uninstall.exe");
}

// Checks the lines TovrandCA.dll wrote into the MSI log: each text must be part of some line.
Op MsiLog(std::vector<std::string> parts)
{
    return [parts](Context& c) {
        std::string bytes = ReadFileBytes(Expand(c, kMsiLog));
        // Windows may write the log in UTF-16, Wine writes 8-bit text. Paths are compared in any case.
        if (bytes.compare(0, 2, "\xFF\xFE") == 0)
            bytes = Narrow(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2));
        CharLowerBuffA(&bytes[0], static_cast<DWORD>(bytes.size()));
        for (std::string part : parts)
        {
            part = Narrow(Expand(c, Widen(part)));
            CharLowerBuffA(&part[0], static_cast<DWORD>(part.size()));
            EXPECT_NE(std::string::npos, bytes.find(part)) << "missing in the MSI log: " << part;
        }
    };
}

std::string Ran(const std::string& copy, const std::string& args, const std::string& result)
{
    return "Tovrand: \"" + copy + "\" " + args + " ended with exit code " + result;
}

const std::string kOwnMsiCopy = Narrow(kMsiDir) + "\\TOVRAND64x86.EXE";
const char kSucceeded[] = "0 (0x00000000): success.";
const char kRestarts[] = "1 (0x00000001): success, restart required.";
const char kReturnsRestart[] = "Returning: RETURN_REBOOT_REQUIRED (0x1)";
const char kReturnsSuccess[] = "Returning: 0 - Success, no reboot required.";

// An install while the system holds the driver: the new one waits beside it for the restart. The
// state check cannot read the held file and says so (exit code 3).
const std::string kReplaced =
    "; drivers=PELLIMAR64x86.CAT PELLIMAR64x86.INF PELLIMAR64x86.SY1 PELLIMAR64x86.SYS; "
    "pending=[\\??\\$drivers\\PELLIMAR64x86.SY1]->[!\\??\\$drivers\\PELLIMAR64x86.SYS]";
const Op kPayloadDriverInPlace = SameBytes(L"$drivers\\PELLIMAR64x86.SYS", L"$payload\\PELLIMAR64x86.SYS");

// The product's folder is gone (the NSIS uninstaller that ran in place keeps itself and its folder).
Op NoFolderOf(const wchar_t* folder)
{
    return [folder](Context& c) {
        std::wstring dir = Expand(c, folder);
        EXPECT_FALSE(FileExists(dir + L"\\TOVRAND64x86.EXE") || FileExists(dir + L"\\DemoProduct.txt")) << Narrow(dir);
    };
}

// The NSIS demo's own key: both its values in the 32-bit view, or no key; never one in the 64-bit view.
Op NsisKey(bool present)
{
    return [present](Context&) {
        EXPECT_EQ(present, !GetString(kNsisUninstallKey, L"DisplayName").empty() &&
                               !GetString(kNsisUninstallKey, L"UninstallString").empty() && !KeyExists(kNsisUninstallKey64));
    };
}

// The maker's folder replaced by a file: the installer can install nothing (82).
const Op kMakerIsAFile = [](Context& c) { RemoveTree(c.where.makerDir), Write(L"$maker", "not a directory")(c); };

const std::string kOwnMsiCopy32 = "$programs (x86)\\Norvatek Demo MSI\\TOVRAND64x86.EXE";
// The copy an uninstall runs and keeps for its rollback, in a folder named after the package's ProductCode.
const std::string kKeptMsiCopy = "$windows\\Temp\\TovrandCA.{76ECA94E-E064-42A0-80CD-68CAF5899D88}\\TOVRAND64x86.EXE";
const std::string kKeptMsiCopy32 = "$windows\\Temp\\TovrandCA.{E4A1B6C3-92D7-4B58-A0F3-1C8E7D6B5A49}\\TOVRAND64x86.EXE";
// The kept copy's folder goes with the uninstall's commit or rollback.
Op NoKeptCopy()
{
    return [](Context& c) {
        std::wstring folder = Expand(c, Widen(kKeptMsiCopy));
        folder.resize(folder.rfind(L'\\'));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str())) << Narrow(folder);
    };
}
const std::string kSharedCopy = "$shared\\TOVRAND64x86.EXE";
const wchar_t kSemicolonDir[] = L"INSTALLDIR=\"$work\\ProdA;uct\\\"";
const std::string kSemicolonCopy = "$work\\ProdA;uct\\TOVRAND64x86.EXE";

const std::vector<Case> kCases = {
    {"AnMsiAndAnNsisProductShareTheDriverAndLeave", Vista,
     {Msi(L"/i").Expect(Machine("inst 1 MSI q+1"))
          .Lines({"CommandLine=/Q PRODUCTMSI", kReturnsSuccess})
          .After(MsiLog({Ran(kOwnMsiCopy, "/Q PRODUCTMSI", kSucceeded), "Tovrand: the installer's log is $windows\\Temp\\PELLIMAR.LOG"})),
      NsisSetup().Expect(Machine("inst 2 MSI NSIS q+1")).Lines({"CommandLine=/Q PRODUCTNSIS", kReturnsSuccess})
          .After(NsisKey(true)),
      Msi(L"/x").Expect(Machine("inst 1 NSIS", true))
          .Lines({"CommandLine=/U /Q PRODUCTMSI", kReturnsSuccess})
          .After(MsiLog({Ran(kKeptMsiCopy, "/U /Q PRODUCTMSI", kSucceeded)})),
      NsisUninstall().Expect(Machine("gone q+1")).Lines({"CommandLine=/U /Q PRODUCTNSIS", kReturnsSuccess})
          .After(NoFolderOf(kMsiDir)).After(NoFolderOf(kNsisDir)).After(NsisKey(false))}},
    // The MSI installs and, last, uninstalls while the system holds the driver; a restart follows each.
    {"TheMsiAsksForTheRestartsTheDriverInUseNeeds", Vista,
     {NsisSetup().Expect(Machine("inst 1 NSIS q+1")),
      Msi(L"/i").Before(HoldDriverAsLoaded()).Exit(kRestartRequired).Expect(Machine("inst 2 MSI NSIS q+1" + kReplaced))
          .CheckSays(3).Lines({kReturnsRestart})
          .After(MsiLog({Ran(kOwnMsiCopy, "/Q PRODUCTMSI", kRestarts),
                         "Tovrand: the installer asked for a restart; MsiSetMode(MSIRUNMODE_REBOOTATEND) returned 0."})),
      Do(Reboot()).Expect(Machine("inst 2 MSI NSIS")).After(kPayloadDriverInPlace),
      NsisUninstall().Expect(Machine("inst 1 MSI", true)),
      Msi(L"/x").Before(HoldDriverAsLoaded()).Exit(kRestartRequired)
          .Expect(Machine("gone q+1; drivers=PELLIMAR64x86.SYS; pending=[$ours]->[]")).CheckSays(3)
          .Lines({"CommandLine=/U /Q PRODUCTMSI", kReturnsRestart})
          .After(MsiLog({Ran(kKeptMsiCopy, "/U /Q PRODUCTMSI", kRestarts)})),
      Do(Reboot()).Expect(Machine("gone")).After(NoFolderOf(kMsiDir)).After(NoFolderOf(kNsisDir))}},
    // The NSIS setup installs while the driver is in use, and no restart comes before both products
    // leave, the NSIS product last with the driver still in use: the last uninstall withdraws the
    // driver's replacement, which still waits for the restart, and leaves only the loaded driver to it.
    // The restart leaves nothing of ours, no orphan driver.
    {"TheNsisSetupAsksForTheRestartsTheDriverInUseNeeds", Vista,
     {Msi(L"/i").Expect(Machine("inst 1 MSI q+1")),
      NsisSetup().Before(HoldDriverAsLoaded()).Exit(kRestartRequired).Expect(Machine("inst 2 MSI NSIS q+1" + kReplaced))
          .CheckSays(3).Lines({kReturnsRestart}),
      Msi(L"/x").Expect(Machine("inst 1 NSIS" + kReplaced, true)).CheckSays(3),
      NsisUninstall().Exit(kRestartRequired).Expect(Machine("gone q+1; drivers=PELLIMAR64x86.SYS; pending=[$ours]->[]"))
          .CheckSays(3)
          .Lines({"CommandLine=/U /Q PRODUCTNSIS", kReturnsRestart}),
      Do(Reboot()).Expect(Machine("gone")).After(NoFolderOf(kMsiDir)).After(NoFolderOf(kNsisDir))}},
    // The product's own step after the installer's fails: the package rolls back, and with it the
    // product's use of the driver, while the other product keeps its own.
    {"ALaterStepOfTheMsiFailsAndItsRollbackUndoesTheInstall", Vista,
     {NsisSetup().Expect(Machine("inst 1 NSIS q+1")),
      Msi(L"/i", L"DEMO_FAIL_AFTER_TOVRAND=1").Exit(kLaterStepFailed).Expect(Machine("inst 1 NSIS q+1", true))
          .Lines({"CommandLine=/Q PRODUCTMSI", "CommandLine=/U /Q /NOREGAPPID PRODUCTMSI",
                  "  Uninstalling with known AppID (or /NOREGAPPID).  Updating Refcounts."})
          .After(MsiLog({Ran(kOwnMsiCopy, "/Q PRODUCTMSI", kSucceeded),
                         Ran(IsWine() ? "$shared\\TOVRAND64x86.EXE" : kOwnMsiCopy, "/U /Q /NOREGAPPID PRODUCTMSI",
                             kSucceeded)}))
          .After(NoFolderOf(kMsiDir))}},
    // A step of the product's own fails in its uninstall, after the installer's: the package rolls back,
    // the product stays installed, and its use of the driver comes back with it: count, registration
    // and listing; the last product's also the driver, its service and the shared copy. The uninstall
    // runs a copy of the product's own installer that it keeps for the rollback, so that the last
    // uninstall, which deletes the installer that ran it, leaves the product's own copy in place.
    {"ALaterStepOfAnMsiUninstallFailsAndItsRollbackGivesTheUseBack", Vista,
     {NsisSetup().Expect(Machine("inst 1 NSIS q+1")),
      Msi(L"/i").Expect(Machine("inst 2 MSI NSIS q+1")),
      Msi(L"/x", L"DEMO_FAIL_AFTER_TOVRAND=1").Exit(kLaterStepFailed).Expect(Machine("inst 2 MSI NSIS q+1"))
          .Lines({"CommandLine=/U /Q PRODUCTMSI", "CommandLine=/Q PRODUCTMSI"})
          .After(MsiLog({Ran(kKeptMsiCopy, "/U /Q PRODUCTMSI", kSucceeded), Ran(kOwnMsiCopy, "/Q PRODUCTMSI", kSucceeded)}))
          .After(NoKeptCopy()),
      Msi(L"/x").Expect(Machine("inst 1 NSIS", true)).After(NoKeptCopy())}},
    {"ALaterStepOfTheLastMsiUninstallFailsAndItsRollbackPutsTheDriverBack", Vista,
     {Msi(L"/i").Expect(Machine("inst 1 MSI q+1")),
      Msi(L"/x", L"DEMO_FAIL_AFTER_TOVRAND=1").Exit(kLaterStepFailed).Expect(Machine("inst 1 MSI q+2"))
          .Lines({"CommandLine=/U /Q PRODUCTMSI", "CommandLine=/Q PRODUCTMSI"}).After(kPayloadDriverInPlace)
          .After(MsiLog({"Tovrand: " + kOwnMsiCopy + " is kept as " + kKeptMsiCopy +
                             ", which runs the uninstall and, if it is rolled back, its undo.",
                         Ran(kKeptMsiCopy, "/U /Q PRODUCTMSI", kSucceeded), Ran(kOwnMsiCopy, "/Q PRODUCTMSI", kSucceeded)}))
          .After(NoKeptCopy()),
      Msi(L"/x").Expect(Machine("gone q+1")).Lines({"CommandLine=/U /Q PRODUCTMSI", kReturnsSuccess})
          .After(NoFolderOf(kMsiDir))}},
    // A file named "Norvatek" where the maker's directory belongs: the installer can install nothing
    // (82), each setup ends 1603 and leaves nothing behind, its own files and listing included.
    {"TheInstallerFailsAndEachSetupEnds1603WithNothingLeft", Vista,
     {Msi(L"/i").Before(Write(L"$maker", "not a directory")).Exit(ERROR_INSTALL_FAILURE)
          .Expect(Machine("clean; makerdir=absent")).Lines({"Returning: Error (0x52)"})
          .After(MsiLog({Ran(kOwnMsiCopy, "/Q PRODUCTMSI", "82 (0x00000052): failure.")}))
          .After(NoFolderOf(kMsiDir)),
      NsisSetup().Exit(ERROR_INSTALL_FAILURE).Expect(Machine("clean; makerdir=absent"))
          .Lines({"CommandLine=/Q PRODUCTNSIS", "Returning: Error (0x52)", "CommandLine=/U /Q /NOREGAPPID PRODUCTNSIS"})
          .After(NoFolderOf(kNsisDir))}},
    // A failed re-run of the NSIS setup leaves the installed product its use, which it had before the
    // run; with the product's own copy gone, its uninstall runs the shared copy.
    {"TheNsisProductKeepsItsUseThroughAFailedReRunAndLeavesWithoutItsCopy", Vista,
     {NsisSetup().Expect(Machine("inst 1 NSIS q+1")),
      NsisSetup().Before(kMakerIsAFile).Exit(ERROR_INSTALL_FAILURE).Expect(Machine("inst 1 NSIS; makerdir=absent"))
          .Lines({"CommandLine=/Q PRODUCTNSIS", "Returning: Error (0x52)", "!CommandLine=/U /Q /NOREGAPPID PRODUCTNSIS"})
          .After(NsisKey(true)),
      NsisUninstall().Before(Delete(L"$maker")).Before(Delete(std::wstring(kNsisDir) + L"\\TOVRAND64x86.EXE"))
          .Expect(Machine("gone q+1; pending=[\\??\\$sshared]->[] [\\??\\$sdir]->[]"))
          .Lines({"CommandLine=/U /Q PRODUCTNSIS", kReturnsSuccess}).After(NsisKey(false))}},
    // The x86 NSIS setup, under WoW64: its folder in Program Files (x86), its keys in the 32-bit view,
    // the installer's listing and registration in the 64-bit one, where the uninstall finds them.
    {"AnX86NsisSetupInstallsAndLeaves", Vista,
     {NsisSetup(true).Expect(Machine("inst 1 NSIS q+1"))
          .Lines({"Launched from: $programs (x86)\\Norvatek Demo NSIS\\TOVRAND64x86.EXE", "CommandLine=/Q PRODUCTNSIS",
                  kReturnsSuccess})
          .After(NsisKey(true)),
      NsisUninstall(kNsisDir32).Expect(Machine("gone q+1")).Lines({"CommandLine=/U /Q PRODUCTNSIS", kReturnsSuccess})
          .After(NsisKey(false)).After(NoFolderOf(kNsisDir32))}},
    // The product as an Intel package, written as README shows: the actions list the AppID in the 64-bit
    // view (the package's own values go to the 32-bit one), and the uninstall lowers the count.
    {"A32BitMsiPackageInstallsAndLeaves", Vista,
     {Msi(L"/i", L"", kMsi32).Expect(Machine("inst 1 MSI q+1"))
          .After(MsiLog({Ran(kOwnMsiCopy32, "/Q PRODUCTMSI", kSucceeded)})),
      Msi(L"/x", L"", kMsi32).Expect(Machine("gone q+1"))
          .Lines({"CommandLine=/U /Q PRODUCTMSI", "  Uninstalling with known AppID (or /NOREGAPPID).  Updating Refcounts."})
          .After(MsiLog({Ran(kKeptMsiCopy32, "/U /Q PRODUCTMSI", kSucceeded)}))}},
    // A folder whose name holds ";" is one path like any other. A repair, which a standard user may start,
    // then finds the copy there changeable by everybody: it is refused, the shared copy runs in its place,
    // also for the uninstall. (REINSTALL and REINSTALLMODE are what msiexec /fp sets: Wine's /f ends 1 and
    // runs nothing. Wine takes a maintenance run's folder from the package, so it is given again.)
    {"ACopyInAFolderWithASemicolonRunsUntilEverybodyMayChangeIt", Vista,
     {Msi(L"/i", kSemicolonDir).Expect(Machine("inst 1 MSI q+1")).After(MsiLog({Ran(kSemicolonCopy, "/Q PRODUCTMSI", kSucceeded)})),
      Msi(L"/i", std::wstring(L"REINSTALL=ALL REINSTALLMODE=p ") + kSemicolonDir)
          .Before([](Context& c) { EXPECT_TRUE(LetEverybodyChange(Expand(c, Widen(kSemicolonCopy)))); })
          .Expect(Machine("inst 1 MSI q+1")).Lines({"CommandLine=/Q PRODUCTMSI"})
          .After(MsiLog({"Tovrand: " + kSemicolonCopy + " is refused: others than the administrators and the system "
                         "may change it or its folder, and it carries no valid signature of TovrandCA.dll's signer.",
                         Ran(kSharedCopy, "/Q PRODUCTMSI", kSucceeded)})),
      Msi(L"/x", kSemicolonDir).Expect(Machine("gone q+1"))
          .After(MsiLog({"Tovrand: " + kSharedCopy + " is kept as " + kKeptMsiCopy,
                         Ran(kKeptMsiCopy, "/U /Q PRODUCTMSI", kSucceeded)}))}},
    // Version 2 as a major upgrade whose later step fails: its rollback leaves version 1 its use.
    {"AFailedMajorUpgradeLeavesTheProductItsUse", Vista,
     {Msi(L"/i").Expect(Machine("inst 1 MSI q+1")),
      Msi(L"/i", L"DEMO_FAIL_AFTER_TOVRAND=1", kMsi2).Exit(kLaterStepFailed).Expect(Machine("inst 1 MSI q+1"))
          .Lines({"CommandLine=/Q PRODUCTMSI", "!CommandLine=/U /Q /NOREGAPPID PRODUCTMSI"})
          .After(MsiLog({"Tovrand: PRODUCTMSI was registered before this run: its registration stays."}))}},
};

std::vector<Case> Checked(std::vector<Case> cases)
{
    for (Case& c : cases)
        c.check = true;
    return cases;
}
const std::vector<Case> kCheckedCases = Checked(kCases);
}  // namespace

E2E_CASES(Setups, kCheckedCases);
