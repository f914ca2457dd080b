// Product lifecycles through the real installer, each run checked against the whole machine: installs
// and re-installs, update-only runs, products that leave in every order, NODEL and NOREGQZ, an upgrade
// of the system, restarts with the driver in use. On Vista and later and before Vista.
#include "rows.h"

using namespace harness;

namespace
{
std::vector<Case> Removals()
{
    std::vector<Case> cases;
    std::string order = "ABC";
    do
    {
        Case c{"ProductsLeaving" + order, Both, {Install("A").Shown(kUpdated).Expect("inst 1 A q+1")}};
        c.steps.push_back(Install("B").Expect("inst 2 A B q+1"));
        c.steps.push_back(Install("C").Expect("inst 3 A B C q+1"));
        std::string left = " A B C";   // the products still installed, as Expected's outline lists them
        for (char p : order)
        {
            left.erase(left.find(p) - 1, 2);
            int n = static_cast<int>(left.size() / 2);
            Step u = Uninstall(std::string(1, p).c_str()).Shown(kDecremented)
                         .Expect(n ? "inst " + std::to_string(n) + left : "gone q+1");
            // The counts a release lowered are logged in pairs; the last user logs none.
            std::string lowered = "  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: " + std::to_string(n);
            const char* deleted = "DoDelete: Original file deleted ($setup\\TOVRAND64x86.EXE).";
            u.lines = {n ? lowered : "!" + lowered, n ? "!  Setting Tovrand delete to TRUE" : deleted,
                       "!~is no temporary copy"};
            c.steps.push_back(u);
        }
        c.check = true;
        cases.push_back(c);
    } while (std::next_permutation(order.begin(), order.end()));
    return cases;
}

const std::vector<Case> kCases = [] {
    std::vector<Case> cases = {
        {"ReinstallKeepsTheCount", Both,
         {Install("A").Expect("inst 1 A q+1"),
          Install("A").Expect("inst 1 A q+1").Lines({"  Installing with known AppID / Product ID already registered "
                                                    "with Tovrand.  Not Updating Refcounts."}),
          Install("B", L"/CONSUMER /USEQZMANIFEST")
              .Expect("inst 2 A B q+1; qz=dword:1 dword:3 /QZREG /64X86 /CONSUMER /USEQZMANIFEST /LOG")
              .Lines({"  Pellimar Service Exists", "  ConfigureService returned 0x00000000",
                      "AddUninstallKey: Reg value already present"}),
          Install("B").Shown(kUpdated).Expect("inst 2 A B q+1"),
          Uninstall("B").Expect("inst 1 A; sharedusage=PRODUCTA"),
          Install("A").Expect("inst 1 A q+1; sharedusage=PRODUCTA")}},
        {"UpdateOnlyBeforeAnyInstallDoesNothing", Both,
         {Run(L"/Q").Expect("upd").Lines({"  UpdateOnly mode, no previous PELLIMAR, no action taken"}),
          Run(L"").Box(kNothingToUpdate).Expect("upd"), Install("A").Expect("inst 1 A q+1"),
          Uninstall("A").Expect("gone q+1"), Run(L"/Q").Expect("upd")}},
        // A setup may keep anything under its listing, its install folder say: the listing is the value.
        {"AProductLeavesAndComesBack", Both,
         {Install("A").Before(Set(kInstalledApps, L"PRODUCTA", Sz(L"C:\\" + std::wstring(150, L'p'))))
              .Expect("inst 1 A q+1"),
          Install("B").Expect("inst 2 A B q+1"),
          Uninstall("A").Expect("inst 1 B"),
          // A second uninstall of the product that already left changes nothing.
          Uninstall("A").Expect("inst 1 B").Lines({"  Uninstalling with unknown AppID.  Not updating RefCounts (Use "
                                                      "/NOREGAPPID)."}),
          Install("A").Expect("inst 2 A B q+1"), Uninstall("B").Expect("inst 1 A"), Uninstall("A").Expect("gone q+1"),
          Install("A").Expect("inst 1 A q+1"),
          // A count of 0 with the product still registered: lowered, it stays 0 and the product is the last.
          Do(Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"0"))), Uninstall("A").Expect("gone q+1")}},
        {"AnUnlistedProductIsOnlyRemovedWithNoRegAppId", Both,
         {Install("A").Expect("inst 1 A q+1"), Install("B").Expect("inst 2 A B q+1"),
          Run(L"/U PRODUCTA").Before(Set(kInstalledApps, L"PRODUCTA", RawValue())).Box(kNotRegistered)
              .Expect("inst 2 A B").CheckSays(1)
              .Lines({"  Uninstalling with unknown AppID.  Not updating RefCounts (Use /NOREGAPPID)."}),
          // Installed again while unlisted, it is known by its registration and counts once.
          Run(L"/Q PRODUCTA").Expect("inst 2 A B q+1").CheckSays(1)
              .Lines({"  Installing with unknown AppID but already registered with Tovrand.  Not Updating RefCounts."}),
          Run(L"/U /Q /NOREGAPPID PRODUCTA").Expect("inst 1 B"),
          Run(L"/U /Q /NOREGAPPID PRODUCTB").Expect("gone q+1")}},
        {"NoDelAndNoRegQzAffectOnlyTheirOwnRun", Both,
         {Install("A", L"/NOREGQZ").Expect("inst 1 A; qz=absent"), Install("B").Expect("inst 2 A B q+1"),
          Uninstall("A", L"/NODEL").Expect("inst 1 B"),
          Uninstall("B", L"/NODEL").Expect("nodel; sharedusage=").Lines({"!  Setting Tovrand delete to TRUE"}),
          // The driver left in place counts again from nothing.
          Install("C").Expect("inst 1 C q+1"),
          Uninstall("C", L"/NOREGQZ").Expect("gone; qz=dword:1 dword:2 /QZREG /64X86 /LOG")
              .Lines({"  /NoRegQZ switch used.  Not unregistering from Quazel."})}},
        {"AnUpdateRewritesCountsOfOtherShapesWithoutRaisingThem", Both,
         {Install("A").Expect("inst 1 A q+1"), Install("B").Expect("inst 2 A B q+1"),
          Do(Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Dword(2))),
          Do(Set(kSharedDlls, L"$maker\\PELLIMAR64x86.SYS", Sz(L"3"))),
          Do(Set(kSharedDlls, L"$shared\\TOVRAND64x86.EXE", Sz(L"499"))),
          // Before Vista the smaller count is raised to the larger; from Vista on the maker's is not read.
          Run(L"").Box(kUpdated).Expect("inst 2 A B q+1; maker=3; usage=500", "inst 3 A B q+1; usage=500")
              .Lines({"  Product ID not set.  Not updating RefCounts."}),
          Install("C").Expect("inst 3 A B C q+1; maker=3; usage=500", "inst 4 A B C q+1; usage=500")}},
        // Counts an older system kept for the maker directory's copy are released after an upgrade.
        {"AnUpgradeOfTheSystemReleasesTheOlderSystemsCount", Xp,
         {Install("A").Expect("inst 1 A q+1"), Install("B").Expect("inst 2 A B q+1"), Do(Os(L"win7")),
          Uninstall("B").Expect("inst 1 A"), Uninstall("A").Expect("gone q+1")}},
        {"DelOnRebootLeavesTheRunningFileForTheRestart", Vista,
         {Install("A").Expect("inst 1 A q+1"),
          Uninstall("A", L"/DELONREBOOT /HRESULT").Exit(0x80070BC2).Expect("gone q+1; pending=[\\??\\$sown]->[]")
              .Lines({"!SetUpDelete: Setup succeeded"}),
          Do(Reboot()).Expect("gone").After([](Context& c) { EXPECT_FALSE(FileExists(c.OwnCopy())); })}},
    };
    // The state check calls every machine of these lifecycles ok, but for the counts of other shapes.
    for (Case& c : cases)
        c.check = c.name != "AnUpdateRewritesCountsOfOtherShapesWithoutRaisingThem";
    for (const Case& c : Removals())
        cases.push_back(c);
    return cases;
}();
}  // namespace

E2E_CASES(Lifecycle, kCases);
