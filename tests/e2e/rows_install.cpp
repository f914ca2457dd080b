// Installs, uninstalls and start-ups through the real installer: what a clean install puts where and
// logs, files in use and read-only, restarts, the service marked for deletion, the self-delete of the
// installer file, the hand-off to a newer copy, the lock, the command line and the systems it refuses.
#include <aclapi.h>
#include <sddl.h>

#include "rows.h"

using namespace harness;

namespace
{
const std::wstring kDriver = L"$drivers\\PELLIMAR64x86.SYS";
const std::wstring kSharedCopy = L"$shared\\TOVRAND64x86.EXE";
// Every file an install puts in place from Vista on.
const std::vector<std::wstring> kInstalled = {
    kDriver, L"$drivers\\PELLIMAR64x86.INF", L"$drivers\\PELLIMAR64x86.CAT", L"$shared\\KVManifests\\PELLMAR.KVM",
    L"$shared\\KVManifests\\PELLMAR.GRD", L"$shared\\KVManifests\\PELLMAR.SIG", kSharedCopy};
const char kRenameDriver[] = "[\\??\\$drivers\\PELLIMAR64x86.SY1]->[!\\??\\$drivers\\PELLIMAR64x86.SYS]";
// The driver in use waits for the restart as .SY1; so does, with it, the shared copy in use as .EX1.
const std::string kDriverWaits = "drivers=PELLIMAR64x86.CAT PELLIMAR64x86.INF PELLIMAR64x86.SY1 PELLIMAR64x86.SYS";
const std::string kWaiting = kDriverWaits + "; shared=KVManifests TOVRAND64x86.EX1 TOVRAND64x86.EXE";
const std::string kRenameShared = "[\\??\\$shared\\TOVRAND64x86.EX1]->[!\\??\\$shared\\TOVRAND64x86.EXE]";

// Each installed file equals what the build made, and none is read-only.
Op AllInstalledAsBuilt()
{
    return [](Context& c) {
        for (const std::wstring& f : kInstalled)
        {
            std::wstring name = f.substr(f.find_last_of(L'\\') + 1);
            SameBytes(f, name == L"TOVRAND64x86.EXE" ? L"$bin\\TOVRAND64x86.EXE" : L"$payload\\" + name)(c);
            EXPECT_FALSE(GetFileAttributesW(Expand(c, f).c_str()) & FILE_ATTRIBUTE_READONLY) << Narrow(f);
        }
    };
}

// A refused command line changes nothing and says so in its exit code.
Step Refused(const std::wstring& args, std::vector<std::string> lines, DWORD exit = ERROR_INVALID_COMMAND_LINE)
{
    return Run(args).Exit(exit).Expect("inst 1 A; makerdir=").Lines(std::move(lines));
}

const std::wstring kNewerDriver = L"$bin\\testdata\\driver-99.0.0.0\\PELLIMAR64x86.SYS";

// The run hands off before it takes the lock: the copy never waits for it.
Step Handoff(const std::wstring& variant, const std::wstring& args, DWORD exit, std::vector<std::string> lines)
{
    lines.push_back(std::string("!") + kLockStillHeld);
    return Run(args).Before(PlaceShared(variant)).Exit(exit).Lines(std::move(lines));
}

// A folder's access list as SDDL, and ours as it shows there (with users: Users may read and run). Wine keeps
// the Unix mode only: not protected, the owner's bits as its one user (an administrator), the others' as Everyone.
std::string Ours(bool users)
{
    return std::string(IsWine() ? "D:" : "D:P") + "(A;OICI;FA;;;SY)(A;OICI;FA;;;" +
           (IsWine() ? "S-1-5-21-0-0-0-1000)" : "BA)") + (!users ? "" : IsWine() ? "(A;OICI;0x1200a9;;;WD)"
                                                                                 : "(A;OICI;0x1200a9;;;BU)");
}
std::string AccessList(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    LPWSTR text = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) == ERROR_SUCCESS)
        ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr);
    std::string sddl = text != nullptr ? Narrow(text) : "";
    LocalFree(text);
    LocalFree(sd);
    return sddl;
}

// With link, the log names made beforehand as hard links to other files; without, those files as they were
// and the run's lines in logs of the processes' own names (the registration program's id is not known here).
Op LinkedLogs(bool link)
{
    return [link](Context& c) {
        for (std::wstring name : {L"PELLIMAR", L"PLQZREG"})
        {
            std::wstring other = c.work.File(name + L".TXT"), pid = std::to_wstring(c.last.process.pid);
            if (link)
            {
                ASSERT_TRUE(WriteFileBytes(other, "another file\r\n"));
                ASSERT_TRUE(CreateHardLinkW(c.work.File(name + L".LOG").c_str(), other.c_str(), nullptr));
                continue;
            }
            EXPECT_EQ("another file\r\n", ReadFileBytes(other));
            WIN32_FIND_DATAW found;
            HANDLE search = FindFirstFileW(c.work.File(name + L"-" + (name[1] == L'E' ? pid : L"*") + L".LOG").c_str(),
                                           &found);
            ASSERT_NE(INVALID_HANDLE_VALUE, search) << Narrow(name);
            FindClose(search);
            std::string own = ReadFileBytes(c.work.File(found.cFileName));
            EXPECT_NE(std::string::npos, own.find(name[1] == L'E' ? "Returning: 0 - Success" : "/QZREG /64X86")) << own;
        }
    };
}

// The self-delete copy's folder: in the run's temporary folder, for SYSTEM and Administrators only; the copy
// and then the folder wait for the restart, which removes them.
Op CopyFolderGoesAtTheRestart()
{
    return [](Context& c) {
        WaitForInstallers(30000);
        std::wstring folder = c.work.File(L"tovrand." + std::to_wstring(c.last.process.pid) + L".0");
        EXPECT_TRUE(FileExists(folder + L"\\TOVRAND64x86.EXE"));
        EXPECT_EQ(Ours(false), AccessList(folder));
        std::vector<std::wstring> pending = PendingStrings();
        std::vector<std::wstring> last(pending.end() - std::min<size_t>(pending.size(), 4), pending.end());
        EXPECT_EQ((std::vector<std::wstring>{L"\\??\\" + ShortPath(folder + L"\\TOVRAND64x86.EXE"), L"",
                                             L"\\??\\" + ShortPath(folder), L""}), last);
        Reboot()(c);
        EXPECT_FALSE(DirExists(folder));
    };
}

const std::vector<Case> kCases = {
    {"ACleanInstallPutsEverythingInPlace", Vista,
     {Install("A").Expect("inst 1 A q+1").After([](Context& c) {
          AllInstalledAsBuilt()(c);
          // Every log line has its header with the run's process id (the harness splits lines at CR LF).
          std::string pid = "][PID:" + std::to_string(c.last.process.pid) + "] ";
          SYSTEMTIME now;
          GetLocalTime(&now);
          char date[16];
          snprintf(date, sizeof(date), "[%02u/%02u/%02u ", now.wMonth, now.wDay, now.wYear % 100u);
          for (const std::string& line : c.last.lines)
              EXPECT_TRUE(line.size() > 28 && line.compare(0, 10, date) == 0 && line[12] == ':' &&
                          line.compare(18, pid.size(), pid) == 0) << line;
      })
          .Lines({"64-bit Installer", "Compiled Version 12.9.0.22", "Operating System Detected -> Windows 7",
                  "CommandLine=/Q PRODUCTA",
                  "Norvatek CommonFilesDir created using $shared", "Manifests directory created.",
                  "  Pellimar wasn't found on the system.", "  Successfully acquired mutex.",
                  "  Installing with known AppID / Product ID not yet registered with Tovrand.  Updating Refcounts.",
                  "  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 0",
                  "  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 1", "  Pellimar Service Does Not Exist",
                  "  InstallService returned 00000000", "RegisterWithQZ() params /QZREG /64X86 /LOG",
                  "Deleted try 0: $maker\\PLQZREG32.EXE", "Returning: 0 - Success, no reboot required."}),
      // A refused command line changes nothing: no banner, no directory, no box.
      Refused(L"/U /FORCEUPDATE /NOREGQZ /CONSUMER",
              {"ERROR: Uninstall requires an AppID to be passed in as the last parameter.",
               "ERROR: FORCEUPDATE can only be used in update mode.",
               "ERROR: NOREGQZ cannot be used with CONSUMER or USEQZMANIFEST.", "Tovrand GlobalInfo::Init() failed",
               "!64-bit Installer"}),
      Refused(L"/Q /FORCEUPDATE PRODUCTB", {"ERROR: FORCEUPDATE can only be used in update mode."}),
      Refused(L"/Q /NOREGQZ /USEQZMANIFEST /HRESULT PRODUCTB",
              {"ERROR: NOREGQZ cannot be used with CONSUMER or USEQZMANIFEST.",
               "Returning: HRESULT_FROM_WIN32(ERROR_INVALID_COMMAND_LINE) (0x80070667)"},
              HRESULT_FROM_WIN32(ERROR_INVALID_COMMAND_LINE)),
      // What a tool that runs the stored uninstall command as it stands gets: no AppID, nothing done.
      Refused(L"/U /Q", {"ERROR: Uninstall requires an AppID to be passed in as the last parameter.",
                         "Returning: Error (0x667)"}),
      Refused(L"/Q /NOREGAPPID /NODEL PRODUCTB", {"ERROR: NOREGAPPID and NODEL cannot be used together."}),
      Refused(L"/Q /" + std::wstring(300, L'A') + L" PRODUCTB",
              {"ERROR: A command line argument is longer than 263 characters.",
               "!ERROR: The AppID is longer than 47 characters."}),
      Refused(L"/Q " + std::wstring(48, L'A') + L"\\B",
              {"ERROR: The AppID is longer than 47 characters.",
               "ERROR: The AppID must not contain a backslash or a control character."}),
      Refused(L"/U /Q \"PRODUCTA\x01\"", {"ERROR: The AppID must not contain a backslash or a control character."}),
      // A quote left open would swallow the switches after it.
      Refused(L"\"PRODUCTA /U /Q", {"ERROR: A quote on the command line is not closed."}),
      // The limits are exact, and a closed quote keeps blanks and switch characters.
      Run(L"/Q /NOREGQZ " + std::wstring(263, L'X') + L" " + std::wstring(47, L'P'))
          .Expect("inst 2 A; products=" + std::string(47, 'P') + "(dword:1) PRODUCTA(dword:1)"),
      Run(L"/Q /NOREGQZ \"PRODUCT /C\"")
          .Expect("inst 3 A; products=" + std::string(47, 'P') +
                  "(dword:1) PRODUCT /C(dword:1) PRODUCTA(dword:1)")}},
    {"BeforeVistaTheDriverAlsoGoesToTheMakersDirectory", Xp,
     {Install("A", L"/NOREGQZ").Expect("inst 1 A")
          .Lines({"Operating System Detected -> Windows Server 2003 (32/64bit) or XP (x64)"}),
      Do(Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"2"))),
      Do(Set(kSharedDlls, L"$maker\\PELLIMAR64x86.SYS", Sz(L"3"))),
      Install("B", L"/NOREGQZ").Expect("inst 4 A B")
          .After(SameBytes(L"$maker\\PELLIMAR64x86.SYS", L"$payload\\PELLIMAR64x86.SYS"))
          .Lines({"  Old RefCount: Norvatek\\PELLIMAR64x86.SYS: 3",
                  "  New RefCount: Norvatek\\PELLIMAR64x86.SYS: 4"}),
      // The maker directory's count still holds a use: this is not the last product.
      Do(Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"1"))),
      Do(Set(kSharedDlls, L"$maker\\PELLIMAR64x86.SYS", Sz(L"2"))),
      Uninstall("A").Expect("inst 0 B; count=absent; maker=1; drivers=*")}},
    {"TheDriverAndTheSharedCopyInUseAreReplacedAtTheRestart", Both,
     {Install("B").Expect("inst 1 B q+1"),
      Install("A", L"/HRESULT").Shown(kRestart).Before([](Context& c) {
              HoldDriverAsLoaded()(c);
              HoldFile(kSharedCopy)(c);
          }).Exit(0x80070BC2)
          .Expect("inst 2 A B q+1; " + kWaiting + "; pending=" + kRenameShared + " " + kRenameDriver)
          .After(SameBytes(L"$drivers\\PELLIMAR64x86.SY1", L"$payload\\PELLIMAR64x86.SYS"))
          .Lines({"  Marked for rename on reboot: $drivers\\PELLIMAR64x86.SY1 -> $drivers\\PELLIMAR64x86.SYS"}),
      Do(Reboot()).Expect("inst 2 A B").After(AllInstalledAsBuilt()),
      Install("C").Shown(kUpdated).Expect("inst 3 A B C q+1"), Uninstall("B").Expect("inst 2 A C"),
      Uninstall("A").Expect("inst 1 C"), Uninstall("C").Expect("gone q+1")}},
    // A driver the system still holds goes with the restart, which the run asks for.
    {"ALoadedDriverLeftByTheLastUninstallGoesAtTheRestart", Both,
     {Install("A").Expect("inst 1 A q+1"),
      Uninstall("A").Before(HoldDriverAsLoaded()).Exit(1)
          .Expect("gone q+1; drivers=PELLIMAR64x86.SYS; pending=[$ours]->[]")
          .Lines({"Returning: RETURN_REBOOT_REQUIRED (0x1)"}),
      Do(Reboot()).Expect("gone"), Install("B").Expect("inst 1 B q+1")}},
    {"AnInstallBeforeTheRestartKeepsTheDriverTheLastUninstallLeft", Both,
     {Install("A").Expect("inst 1 A q+1"),
      Uninstall("A", L"/HRESULT").Before(HoldDriverAsLoaded()).Exit(0x80070BC2)
          .Expect("gone q+1; drivers=PELLIMAR64x86.SYS; pending=[$ours]->[]"),
      Install("B").Before([](Context& c) { c.holders.clear(); }).Expect("inst 1 B q+1")
          .Lines({"  *Unmarking file from deletion: $ours"}),
      Do(Reboot()).Expect("inst 1 B").After(AllInstalledAsBuilt())}},
    // The uninstall entry runs the shared copy itself: the copy and its folder wait for the self-delete
    // and the restart; a product that installs before it claims the copy back.
    {"TheLastUninstallThroughTheUninstallEntryAndAnInstallBeforeTheRestart", Both,
     {Install("A").Expect("inst 1 A q+1"),
      Run(L"/U /Q PRODUCTA").Exe(L"shared").Expect("gone q+1; pending=[\\??\\$sshared]->[] [\\??\\$sdir]->[]"),
      Install("B").Expect("inst 1 B q+1; pending=[\\??\\$sdir]->[]"),
      Do(Reboot()).Expect("inst 1 B").After(AllInstalledAsBuilt())}},
    // The next install runs while the last uninstall's self-delete copy still waits for the shared copy
    // (another program holds it, sharing all but its deletion): the fresh copy put there must survive.
    {"AnInstallRightAfterTheLastUninstallKeepsItsSharedCopy", Vista,
     {Install("A").Expect("inst 1 A q+1"),
      Run(L"/U /Q PRODUCTA").Exe(L"shared").Before(HoldFile(kSharedCopy, FILE_SHARE_READ | FILE_SHARE_WRITE)).NoWait(),
      // Half a second for the ended run's image to be unmapped, so that only the holder keeps the file.
      Install("B").Exe(L"built").NoWait().Before([](Context&) { Sleep(500); }),
      Do([](Context& c) {
          c.holders.clear();
          WaitForInstallers(40000);
      }).Expect("inst 1 B q3; pending=*").After(AllInstalledAsBuilt())}},
    {"AServiceMarkedForDeletionIsRepairedAndARestartRequested", Both,
     {Install("A").Expect("inst 1 A q+1"),
      Install("B").Before([](Context& c) {
              c.Hold(L"marked");
          }).Exit(1)
          .Expect("inst 2 A B q+1; service=present type=1 start=3 error=1 image=\\??\\$drivers\\PELLIMAR64x86.SYS")
          .Lines({"    Pellimar:service is marked for deletion.  Manually setting regkeys and unmarking it from "
                  "deletion.",
                  "    Pellimar:Removed DeleteFlag and set Start to 3",
                  "    Pellimar:Manually set ErrorControl, Type, and ImagePath values.",
                  "  Due to the driver service being marked for deletion, a reboot is required before the new driver "
                  "can be used."}),
      // An uninstall that leaves the service marked asks for the restart too.
      Uninstall("A", L"/NOREGAPPID").Expect("inst 1 B; service=*"),
      Uninstall("B").Exit(1).Expect("gone q+1; service=*")
          .Lines({"  The Pellimar service is removed at the next restart."})}},
    // The last uninstall leaves a newer driver that is still loaded to the restart: it is no installed
    // version to keep. The next install puts its own whole set in place, the loaded image through a
    // replacement at the restart, so that the set is of one version after it.
    {"ADriverTheLastUninstallLeftIsReplacedWholeByTheNextInstall", Vista,
     {Install("A").Expect("inst 1 A q+1"),
      Uninstall("A").Before([](Context& c) {
              Bytes(kDriver, kNewerDriver)(c);
              HoldFile(kDriver)(c);
          }).Exit(1).Expect("gone q+1; drivers=PELLIMAR64x86.SYS; pending=[$ours]->[]"),
      Install("B").Exit(1)
          .Expect("inst 1 B q+1; " + kDriverWaits + "; pending=" + kRenameDriver)
          .Lines({"  $drivers\\PELLIMAR64x86.SYS is deleted at the restart, it is no installed driver to keep.",
                  "  *Unmarking file from deletion: $ours"}),
      Do(Reboot()).Expect("inst 1 B").After(AllInstalledAsBuilt())}},
    // A replacement that an install left to the restart is the version the machine will have. A setup whose
    // own file is older neither writes that file nor withdraws the replacement, counts its product and asks
    // for the restart; one whose file is not older writes it now and drops the replacement, whose older
    // bytes the restart would otherwise put back.
    {"ReplacementsWaitingForTheRestartFollowTheVersionOrder", Vista,
     {Install("B").Expect("inst 1 B q+1"),
      Install("A").Exe(L"13.0.0.0").Before([](Context& c) {
              HoldDriverAsLoaded()(c);
              HoldFile(kSharedCopy)(c);
          }).Exit(1).Expect("inst 2 A B q+1; " + kWaiting + "; pending=" + kRenameShared + " " + kRenameDriver),
      Install("C").Before(Bytes(L"$drivers\\PELLIMAR64x86.SY1", kNewerDriver)).Exit(1)
          .Expect("inst 3 A B C q+1; " + kWaiting + "; pending=" + kRenameShared + " " + kRenameDriver)
          .Lines({"  The newer $shared\\TOVRAND64x86.EXE waiting for the restart stays, a restart is needed.",
                  "  The newer $drivers\\PELLIMAR64x86.SYS waiting for the restart stays, a restart is needed.",
                  "!~Unmarking file from rename"}),
      Install("D").Exe(L"13.0.0.0").Before([](Context& c) { c.holders.clear(); }).Exit(1)
          .Expect("inst 4 A B C D q+1; " + kDriverWaits + "; pending=" + kRenameDriver)
          .Lines({"  *Unmarking file from rename: \\??\\$shared\\TOVRAND64x86.EX1 -> "
                  "!\\??\\$shared\\TOVRAND64x86.EXE"}),
      Do(Reboot()).Expect("inst 4 A B C D").After([](Context& c) {
          SameBytes(kSharedCopy, L"$bin\\variants\\13.0.0.0\\TOVRAND64x86.EXE")(c);
          SameBytes(kDriver, kNewerDriver)(c);
      })}},
    // A newer driver is kept with its own set: nothing of an older payload is written beside it, and a
    // set that lacks a file is named, not made into a set of two versions.
    {"ANewerDriverIsKeptWithItsOwnSetOnly", Vista,
     {Install("A").Before(Bytes(kDriver, kNewerDriver)).Exit(ERROR_INSTALL_FAILURE)
          .Expect("clean; drivers=PELLIMAR64x86.SYS; sharedusage=PRODUCTA; makerdir=; shared=KVManifests; manifests=")
          .Lines({"  Error - $drivers\\PELLIMAR64x86.INF is missing beside the newer driver 99.0.0.0: only a setup "
                  "of that driver can put it back.",
                  "~$shared\\KVManifests\\PELLMAR.SIG is missing beside the newer driver"}),
      Install("A").Before([](Context& c) {
              for (size_t i = 1; i + 1 < kInstalled.size(); ++i)
                  Write(kInstalled[i], "newer set")(c);
          }).Expect("inst 1 A q+1").After([](Context& c) {
              SameBytes(kDriver, kNewerDriver)(c);
              EXPECT_EQ("newer set", ReadFileBytes(Expand(c, L"$drivers\\PELLIMAR64x86.CAT")));
          })}},
    // Nor must it outlive the last product: the restart would bring back a driver nobody counts.
    {"AReplacementLeftToTheRestartGoesWithTheLastUninstall", Vista,
     {Install("A").Expect("inst 1 A q+1"),
      Install("B").Before(HoldDriverAsLoaded()).Exit(1)
          .Expect("inst 2 A B q+1; " + kDriverWaits + "; pending=" + kRenameDriver),
      Uninstall("B").Before([](Context& c) { c.holders.clear(); })
          .Expect("inst 1 A; " + kDriverWaits + "; pending=" + kRenameDriver),
      Uninstall("A").Expect("gone q+1")
          .Lines({"  *Unmarking file from rename: \\??\\$drivers\\PELLIMAR64x86.SY1 -> "
                  "!\\??\\$drivers\\PELLIMAR64x86.SYS"}),
      Do(Reboot()).Expect("gone")}},
    // The last uninstall through a newer shared copy, which leaves itself to the restart: the next
    // product's install, served by that copy, claims it back.
    {"ASharedCopyLeftToTheRestartIsClaimedByTheNextInstall", Vista,
     {Install("A").Before(PlaceShared(L"12.9.0.23")).Expect("inst 1 A q+1"),
      Run(L"/U /Q /NOREGAPPID /DELONREBOOT PRODUCTA").Exe(L"shared").Exit(1)
          .Expect("gone q+1; shared=TOVRAND64x86.EXE; pending=*"),
      Install("B").Expect("inst 1 B q+1; pending=[\\??\\$sdir]->[]")
          .Lines({"  Installed version is newer.", "  *Unmarking file from deletion: \\??\\$sshared"}),
      Do(Reboot()).Expect("inst 1 B")
          .After(SameBytes(kSharedCopy, L"$bin\\variants\\12.9.0.23\\TOVRAND64x86.EXE"))}},
    // A self-delete request is served by the copy that received it, never handed to a newer one, and
    // only a copy in the temporary directory leaves its own file to the restart.
    {"ASelfDeleteRequestIsServedByTheCopyThatReceivedIt", Vista,
     {Run(L"/SELFDELETE \"$work\\gone.exe\"").Exe(L"$work\\tovrand0.exe").Temp(L"$work").Before([](Context& c) {
              PlaceShared(L"12.9.0.23")(c);
              ASSERT_TRUE(CopyFileW(InstallerPath().c_str(), c.work.File(L"tovrand0.exe").c_str(), FALSE));
          }).Expect("clean; shared=TOVRAND64x86.EXE; pending=[\\??\\$sdir]->[]")
          .Lines({"!  Installed version is newer.",
                  "DoDelete: the file to delete is not identified, leaving $work\\gone.exe alone."}),
      Run(L"/SELFDELETE \"$work\\gone.exe\"")
          .Expect("clean; shared=TOVRAND64x86.EXE; pending=[\\??\\$sdir]->[]")
          .Lines({"DoDelete: $setup\\TOVRAND64x86.EXE is no temporary copy, leaving it."})}},
    {"ReadOnlyFilesAreOverwrittenAndGoWithTheLastProduct", Vista,
     {Install("B").Expect("inst 1 B q+1"),
      Install("A").Before([](Context& c) {
          for (const std::wstring& f : kInstalled)
              WriteFileBytes(Expand(c, f), "stale");
          ReadOnly(kInstalled)(c);
      }).Expect("inst 2 A B q+1").After(AllInstalledAsBuilt()),
      Uninstall("B").Before(ReadOnly(kInstalled)).Expect("inst 1 A"),
      // Nothing of ours is left for a restart that could not delete a read-only file anyway.
      Uninstall("A").Expect("gone q+1")}},
    {"TheSelfDeleteCopyRunsFromAFolderOfItsOwnThatGoesAtTheRestart", Vista,
     {Install("A").Expect("inst 1 A q+1"),
      Uninstall("A").Temp(L"$work").NoWait().After(CopyFolderGoesAtTheRestart()).Expect("gone q+1")}},
    // Log names prepared as links to other files: those keep their content, and the run still does its work.
    {"LogsLinkedToOtherFilesAreLeftAloneAndTheRunLogsToItsOwn", Vista,
     {Install("A").Temp(L"$work").Before(LinkedLogs(true)).Expect("inst 1 A q+1").After(LinkedLogs(false))}},
    // Folders made beforehand that everybody may change get the access list of ours before anything is written.
    {"FoldersOthersMayChangeGetOurAccessListBeforeTheRunWritesThere", Vista,
     {Install("A").Expect("inst 1 A q+1"),
      Install("B").Before([](Context& c) {
              CreateDirectoryW(Expand(c, L"$maker\\TEMP.^^^").c_str(), nullptr);
              for (const wchar_t* folder : {L"$maker", L"$maker\\TEMP.^^^", L"$shared", L"$shared\\KVManifests"})
                  ASSERT_TRUE(LetEverybodyChange(Expand(c, folder)));
          }).Expect("inst 2 A B q+1")
          .Lines({"  $maker can be changed by others than administrators, resetting its access list.",
                  "  $maker\\TEMP.^^^ can be changed by others than administrators, resetting its access list.",
                  "  $shared can be changed by others than administrators, resetting its access list.",
                  "  $shared\\KVManifests can be changed by others than administrators, resetting its access list."})
          .After([](Context& c) {
              for (const wchar_t* folder : {L"$maker", L"$shared", L"$shared\\KVManifests"})
                  EXPECT_EQ(Ours(true), AccessList(Expand(c, folder))) << Narrow(folder);
          })}},
    {"StalePellimarKeysAreBlastedWhenAnInstallFindsNoCount", Vista,
     {Do(Set(std::wstring(kPellimarKey) + L"\\OLDPRODUCT1", L"Dir1", Dword(1))),
      Do(Set(std::wstring(kPellimarKey) + L"\\OLDPRODUCT2", L"Dir1", Dword(1))),
      Install("A").Expect("inst 1 A q+1").Lines({"  *There are no SharedDlls refcounts yet we have 2 subkeys.  Blasting "
                                                "Pellimar key.",
                                                "  Successfully deleted Pellimar regkey and subkeys using standard "
                                                "methods."}),
      // A product that lists its AppID but never registered bails without a change.
      Run(L"/U /Q PRODUCTC").Before(Set(kInstalledApps, L"PRODUCTC", Sz(L"C"))).Expect("inst 1 A; makerdir=absent")
          .Lines({"  *Somehow this product has a valid AppID (or /NOREGAPPID) yet isn't registered with Tovrand "
                  "(during uninstall). Bailing."})}},
    {"AnotherUninstallEntryIsRewrittenAndManifestsCanBeLeftOut", Vista,
     {Install("A", L"/NOKVMANIFEST").Expect("inst 1 A q+1; shared=TOVRAND64x86.EXE; manifests=absent")
          .Lines({"!Manifests directory created."}),
      Install("B").Before([](Context& c) {
              Set(kUninstallKey, L"QuietUninstallString", Sz(L"C:\\Old\\TOVRAND64x86.EXE /U /Q"))(c);
          }).Expect("inst 2 A B q+1").Lines({"AddUninstallKey: Current reg value C:\\Old\\TOVRAND64x86.EXE /U /Q",
                  "AddUninstallKey: Reg value written"})}},
    {"UnsupportedSystemsAreRefusedAfterTheBanner", Vista,
     {Run(L"/Q PRODUCTA").Before(Os(L"nt40")).Expect("clean").Lines({"Unsupported Operating System.",
                                                                      "Tovrand GlobalInfo::Init() failed",
                                                                      "!CommandLine=/Q PRODUCTA"}),
      Run(L"/Q PRODUCTA").Before(Os(L"win98")).Expect("clean").Lines({"Operating System Detected -> Windows 98 SE",
                                                                       "Unsupported Operating System."}),
      // The 32-bit build on this 64-bit Windows, a WoW64 process.
      Run(L"/Q PRODUCTA").Exe(L"x86").Before(Os(L"win7")).Expect("clean").Lines({"  Running 32-bit Tovrand on 64-bit OS not supported.",
                                                              "Unsupported Operating System.", "!CommandLine=/Q PRODUCTA"})}},
    {"ANewerCopyServesTheWholeRequest", Vista,
     {Handoff(L"12.9.0.23", L"/Q /NOREGQZ PRODUCTA", 0,
              {"Installed:12.9.0.23  This: 12.9.0.22", "  Installed version is newer.",
               "Full built CmdLine passed over   : \"$shared\\TOVRAND64x86.EXE\" /Q /NOREGQZ PRODUCTA",
               "Compiled Version 12.9.0.23", "Newer Tovrand returned 0.  Returning the same."})
          .Expect("inst 1 A; sharedusage=; shared=KVManifests TOVRAND64x86.EXE"),
      Handoff(L"13.0.0.0", L"/Q /NOREGQZ PRODUCTB", 0,
              {"Installed:13.0.0.0  This: 12.9.0.22", "Compiled Version 13.0.0.0"}),
      // A signed copy's version is read the same way.
      Handoff(L"signed-12.9.0.23", L"/Q /NOREGQZ PRODUCTC", 0,
              {"Installed:12.9.0.23  This: 12.9.0.22", "Newer Tovrand returned 0.  Returning the same."}),
      Handoff(L"stub", L"/Q /HRESULT PRODUCTA EXIT=80070BC2", 0x80070BC2,
              {"Newer Tovrand returned -2147021886.  Returning the same.",
               "!Returning: 0 - Success, no reboot required."}),
      Handoff(L"unstartable", L"/Q PRODUCTA", 99, {"Newer Tovrand returned 99.  Returning the same."})}},
    {"AnEqualOrOlderCopyDoesNotTakeOverAndOneBefore12_8_0_12AsksForARestart", Vista,
     {Handoff(L"12.8.0.12", L"/Q /NOREGQZ PRODUCTA", 0,
              {"Installed:12.8.0.12  This: 12.9.0.22", "  Installed version isn't newer after waiting on the mutex.",
               "!  Installed TOVRAND64x86.EXE is less than 12.8.0.12.  Setting reboot flag."}),
      Handoff(L"12.8.0.11", L"/Q /NOREGQZ PRODUCTB", 1,
              {"  Installed TOVRAND64x86.EXE is less than 12.8.0.12.  Setting reboot flag."}),
      Handoff(L"built", L"/Q /NOREGQZ PRODUCTD", 0,
              {"Installed:12.9.0.22  This: 12.9.0.22", "!  Installed version is newer."})}},
    {"TheLockHeldMakesARunWaitThenGoOnAndAnAbandonedOneIsTakenOver", Vista,
     {Run(L"/Q").Before([](Context& c) { c.Hold(L"mutex"); }).Lines({kLockStillHeld}),
      // Killed while it owns the lock; the test's own handle keeps the object, so it is left abandoned.
      Run(L"/Q").Before([](Context& c) {
              HANDLE keep = CreateMutexW(nullptr, FALSE, L"Global\\Pellimar_running");
              c.holders.clear();
              c.undo.push_back([keep](Context&) { CloseHandle(keep); });
          }).Lines({"  The other instance of tovrand exited without releasing the mutex.  It's ours now."}),
      // Without the lock the self-delete could not check the file it deletes: the file waits for the restart.
      Install("A").Expect("inst 1 A q+1"),
      Uninstall("A").Before([](Context& c) { c.Hold(L"mutex"); }).Exit(1).Expect("gone q+1; pending=[\\??\\$sown]->[]")
          .Lines({kLockStillHeld, "  The lock was not held, the installer file is left to the restart."})}},
    // While the run lasts its own file can be neither renamed nor replaced: what it copies is what runs.
    {"TheRunningInstallerFileIsHeldForTheWholeRun", Vista,
     {Do([](Context& c) {
          std::wstring exe = c.work.File(L"TOVRAND64x86.EXE");
          ASSERT_TRUE(CopyFileW((BinDir() + L"\\variants\\hooks\\TOVRAND64x86.EXE").c_str(), exe.c_str(), FALSE));
          // Paused at its second line, "Installed Version (if any) is not newer.", for three seconds.
          SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", L"pause:3000:Installed Version (if any) is not newer.");
          HANDLE run = Start(L"\"" + exe + L"\" /Q", c.work.Path());
          SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", nullptr);
          for (int waited = 0; waited < 20000 && ReadLog(c.work.Path()).size() < 2; waited += 50)
              Sleep(50);
          EXPECT_FALSE(MoveFileW(exe.c_str(), (exe + L".old").c_str()));
          EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
          EXPECT_EQ(0u, Wait(run).exitCode);
      }).Expect("upd")}},
};
}  // namespace

E2E_CASES(Installs, kCases);
