#include "check/findings.h"

#include "check/commands.h"
#include "context/locations.h"
#include "system/pendingrenames.h"
#include "usage/interrupted.h"
#include "usage/usagecount.h"

namespace
{
const DWORD kExpectedType = SERVICE_KERNEL_DRIVER;
const DWORD kExpectedStart = SERVICE_DEMAND_START;
const DWORD kExpectedErrorControl = SERVICE_ERROR_NORMAL;

Finding* Add(Findings* out, const wchar_t* id, Severity severity)
{
    if (severity == SeverityError)
        ++out->errors;
    else
        ++out->warnings;
    Finding* f = out->items.Add();
    if (f == nullptr)
    {
        ++out->notShown;
        return nullptr;
    }
    f->id = id;
    f->severity = severity;
    return f;
}

wchar_t* AddNote(Findings* out)
{
    return out->noteCount < kMaxNotes ? out->notes[out->noteCount++] : nullptr;
}

// The fix for a file of the set that is damaged, missing or another: the forced update writes the whole set
// again. It names the shared copy only while that copy is there and ours.
void ForceUpdateFix(bool sharedCopy, wchar_t* fix)
{
    Format(fix, L"run `TOVRAND64x86.EXE /Q /FORCEUPDATE` (%s): it writes the driver, INF, catalogue and manifests "
                L"again", sharedCopy ? L"the shared copy or a product's setup" : L"a product's setup");
}

// Whether a pending operation takes the file itself (not its temporary) from its place at the restart.
bool GoesAtRestart(const MachineState& s, int file)
{
    for (int i = 0; i < s.pending.Count(); ++i)
    {
        const PendingReading& p = s.pending[i];
        if (p.file == file && !p.temporary && !p.unresolved && (p.kind == PendingDeletes || p.kind == PendingMovesAway))
            return true;
    }
    return false;
}

// What the evaluation works from, worked out once.
struct Facts
{
    const MachineState* s;
    DWORD counted;        // the installer's count: the main one, before Vista the higher of both records
    bool unreadable;      // the main count is there but no number
    DWORD users;          // products that rely on the driver: the count, or the registrations when
                          // the count says nothing
    bool usersKnown;      // the counts and the registrations could be read
    const wchar_t* appId; // a registered product whose AppID a command can carry; null when none
};

// One count record judged on its own: before Vista the uninstall lowers both, and whichever reaches 0
// first deletes the driver it counts, whatever the other still says.
void CheckCount(const Facts& k, const CountReading& c, bool main, Findings* out)
{
    const MachineState& s = *k.s;
    Finding* f = nullptr;
    DWORD registered = static_cast<DWORD>(s.registrations);
    if (c.state == CountUnreadable && (f = Add(out, L"count-unreadable", SeverityError)) != nullptr)
    {
        Format(f->message, L"The usage count %s under SharedDlls (type %lu) is not a number: programs that read "
                           L"it take it for 0 and an uninstall would remove the driver under the %d registered "
                           L"products.", c.valueName, c.type, s.registrations);
        if (main && k.appId != nullptr)
            Format(f->fix, L"run `TOVRAND64x86.EXE /Q \"%s\"` from that product's setup: the installer rebuilds the "
                           L"count from the %d registrations", k.appId, s.registrations);
        else
            SetCountCommand(c, registered, f->fix);
    }
    // Half of a comparison that could not be read says nothing; the read error is reported instead.
    if (c.state != CountReadable || s.countsUnread || s.registrationsUnread)
        return;
    // The uninstall that takes the count to 0 (the first one, for a stored 0) deletes the driver it counts.
    DWORD reaching = c.count > 0 ? c.count : 1;
    if (reaching < registered && (f = Add(out, L"count-below-registrations", SeverityError)) != nullptr)
    {
        Format(f->message, L"The count of %s is %lu but %lu products are registered: the uninstall that brings it "
                           L"to 0 deletes that driver (with its service and files when no count is left) while %lu "
                           L"of those products still use it.", c.valueName, c.count, registered, registered - reaching);
        SetCountCommand(c, registered, f->fix);
    }
    if (c.count > registered && (f = Add(out, L"count-above-registrations", SeverityWarning)) != nullptr)
    {
        Format(f->message, L"The count of %s is %lu but %lu products are registered: after the last registered "
                           L"product's uninstall it stays at %lu, and the driver with nobody to remove it.",
               c.valueName, c.count, registered, c.count - registered);
        SetCountCommand(c, registered, f->fix);
        Append(f->fix, L", if no product outside the registrations uses the driver");
    }
}

void CheckCounts(const Facts& k, Findings* out)
{
    const MachineState& s = *k.s;
    Finding* f = nullptr;
    CheckCount(k, s.mainCount, true, out);
    if (!s.vistaOrLater)
        CheckCount(k, s.makerCount, false, out);
    else if (s.makerCount.state == CountReadable && s.makerCount.count > k.counted &&
             (f = Add(out, L"stale-maker-count", SeverityWarning)) != nullptr)
    {
        // Only systems before Vista raise it, but every uninstall lowers it, and an uninstall is the last
        // one only when this count is at 0 too.
        Format(f->message, L"SharedDlls holds a count of %lu for %s, the maker directory's copy that only systems "
                           L"before Vista count, above the main count %lu: the uninstall that brings the main count "
                           L"to 0 deletes the driver but takes this count for another user and leaves the service, "
                           L"INF, catalogue, manifests and installer copy behind.", s.makerCount.count,
               s.makerCount.valueName, k.counted);
        if (Quotable(s.makerCount.valueName))
            Format(f->fix, L"`reg delete \"HKLM\\%s\" /v \"%s\" /f` (from a 64-bit prompt)", kSharedDllsKey,
                   s.makerCount.valueName);
        else
            Format(f->fix, L"delete the value %s under HKLM\\%s with regedit", s.makerCount.valueName, kSharedDllsKey);
    }
    DWORD registered = static_cast<DWORD>(s.registrations);
    bool comparable = !k.unreadable && !s.countsUnread && !s.registrationsUnread;
    if (comparable && k.counted == 0 && registered > 0 &&
        (f = Add(out, L"registrations-without-count", SeverityWarning)) != nullptr)
    {
        Format(f->message, L"%lu products are registered under HKLM\\%s but nothing is counted: the next install "
                           L"takes the registrations for leftovers and deletes them.", registered, kPellimarKey);
        SetCountCommand(s.mainCount, registered, f->fix);
    }
    for (int i = 0; i < s.products.Count() && !s.installedAppsUnread; ++i)
    {
        const ProductReading& p = s.products[i];
        if (!p.registered || p.installedApps ||
            (f = Add(out, L"product-not-in-installedapps", SeverityWarning)) == nullptr)
            continue;
        if (IsPassableAppId(p.appId))
        {
            Format(f->message, L"%s is registered but not listed under HKLM\\%s: its uninstall `TOVRAND64x86.EXE "
                               L"/U /Q \"%s\"` lowers no count, and the driver outlives the product.",
                   p.appId, kInstalledAppsKey, p.appId);
            Format(f->fix, L"uninstall it with `TOVRAND64x86.EXE /U /Q /NOREGAPPID \"%s\"`, or have its setup list it "
                           L"under HKLM\\%s", p.appId, kInstalledAppsKey);
        }
        else
        {
            Format(f->message, L"%s is registered but not listed under HKLM\\%s: its uninstall lowers no count, and "
                               L"the driver outlives the product.", p.appId, kInstalledAppsKey);
            Format(f->fix, L"have its setup list it under HKLM\\%s; no command is named, as this AppID cannot be "
                           L"written on the installer's command line as it stands", kInstalledAppsKey);
        }
    }
}

const wchar_t* DigestProblem(DigestCheck check)
{
    switch (check)
    {
    case DigestMismatch: return L"differs from the digest that %s lists for it";
    case DigestNotListed: return L"is not listed in %s";
    case DigestNoSource: return L"cannot be checked: %s is missing or damaged";
    default: return nullptr;   // also a file that could not be read: a read error, not a finding
    }
}

void CheckFiles(const Facts& k, Findings* out)
{
    const MachineState& s = *k.s;
    Finding* f = nullptr;
    const FileReading& sys = s.files[kFileSys];
    if (k.users > 0 && !sys.exists && !sys.unread && !sys.directory && (f = Add(out, L"driver-missing", SeverityError)))
    {
        Format(f->message, L"The driver is counted (%lu) but %s is missing: the Pellimar service cannot start.",
               k.users, sys.path);
        RepairRun(*k.s, k.appId, f->fix);
    }
    struct Vouch { int file; bool catalogue; int source; };
    const Vouch kVouches[] = {{kFileSys, true, kFileCat},        {kFileInf, true, kFileCat},
                              {kFileMakerSys, true, kFileMakerCat}, {kFileMakerInf, true, kFileMakerCat},
                              {kFileSys, false, kFileKvm},       {kFileKvm, false, kFileGrd}};
    for (const Vouch& v : kVouches)
    {
        const FileReading& file = s.files[v.file];
        // A file that nothing counts and the restart takes away, as the last uninstall leaves a loaded
        // driver, is vouched for by nothing any more: what it is going to be is said with the pending list.
        if (k.users == 0 && k.usersKnown && GoesAtRestart(s, v.file))
            continue;
        DigestCheck check = v.catalogue ? file.catalogue : file.manifest;
        const wchar_t* problem = DigestProblem(check);
        if (problem == nullptr || (f = Add(out, L"driver-digest-mismatch", SeverityError)) == nullptr)
            continue;
        wchar_t what[kFindingChars];
        Format(what, problem, s.files[v.source].name);
        Format(f->message, L"%s %s: Windows or the protection product may refuse to load the driver.", file.path, what);
        ForceUpdateFix(s.files[kFileInstaller].exists, f->fix);
    }
    // The three manifests come as a set: none at all is an install with NOKVMANIFEST.
    const int kManifests[] = {kFileKvm, kFileGrd, kFileSig};
    bool anyManifest = false;
    for (int m : kManifests)
        anyManifest = anyManifest || s.files[m].exists;
    for (int m : kManifests)
    {
        const FileReading& manifest = s.files[m];
        if (!anyManifest || manifest.exists || manifest.unread ||
            (f = Add(out, L"manifest-missing", SeverityError)) == nullptr)
            continue;
        Format(f->message, L"%s is missing while the other protection manifests are there: the protection product "
                           L"cannot vouch for the driver and may refuse to load it.", manifest.path);
        ForceUpdateFix(s.files[kFileInstaller].exists, f->fix);
    }
    const FileReading& copy = s.files[kFileInstaller];
    if (k.users > 0 && !copy.exists && !copy.unread && !copy.directory &&
        (f = Add(out, L"installer-copy-missing", SeverityError)))
    {
        Format(f->message, L"The driver is counted (%lu) but the shared installer copy %s is gone: the products' "
                           L"uninstalls, which run it, fail.", k.users, copy.path);
        RepairRun(*k.s, k.appId, f->fix);
    }
    bool entryMissing = k.users > 0 && !s.uninstallEntryExists && !s.uninstallEntryUnread;
    if ((entryMissing || (s.uninstallEntryExists && !s.uninstallEntryMatches)) &&
        (f = Add(out, L"uninstall-entry-mismatch", SeverityWarning)))
    {
        if (s.uninstallEntryExists)
            Format(f->message, L"The uninstall entry runs %s instead of the shared copy %s.", s.uninstallEntry,
                   copy.path);
        else
            Format(f->message, L"The driver is counted (%lu) but the uninstall entry (QuietUninstallString of "
                               L"Uninstall\\Tovrand) is missing.", k.users);
        if (k.users > 0)
            RepairRun(*k.s, k.appId, f->fix);
        else
            Format(f->fix, L"`reg delete \"HKLM\\%s\" /f`", kUninstallKey);
    }
    if (s.payloadIsFile && (f = Add(out, L"payload-path-blocked", SeverityError)))
    {
        Format(f->message, L"%s is a file: the installer writes its payload into a directory of that name, so every "
                           L"install and update ends with exit code 82 before changing anything.", s.layout.payloadDir);
        RemoveCommand(L"del /f /a", s.layout.payloadDir, f->fix);
    }
    if (s.payloadDirExists && !s.installerRunning && (f = Add(out, L"leftover-payload", SeverityWarning)))
    {
        Format(f->message, L"No installer runs, yet its payload directory %s exists: a run ended before removing "
                           L"it (a crash or a power loss).", s.layout.payloadDir);
        RemoveCommand(L"rmdir /s /q", s.layout.payloadDir, f->fix);
    }
    // The installer cannot put a file where a directory stands, not even at the restart: it leaves the
    // file's temporary behind and asks for a restart that changes nothing.
    for (const FileReading& file : s.files)
    {
        if (!file.directory || !file.expected || !(f = Add(out, L"directory-in-place-of-file", SeverityError)))
            continue;
        Format(f->message, L"A directory stands where %s must be: no install can put the file there, not even at "
                           L"the next restart.", file.path);
        // A link goes without /s: before Vista, rmdir /s empties the directory a junction leads to.
        RemoveCommand(file.directoryLink ? L"rmdir" : L"rmdir /s /q", file.path, f->fix);
        wchar_t repair[kFindingChars];
        RepairRun(s, k.appId, repair);
        Append(f->fix, L", then %s", repair);
    }
    // From Vista on the installer keeps no driver files in the maker's folder; only an uninstall that
    // lowers a count left from an older system to 0 deletes the copy there.
    bool makerCounted = s.makerCount.state == CountReadable && s.makerCount.count > 0;
    const int kMakerCopies[] = {kFileMakerSys, kFileMakerInf, kFileMakerCat};
    for (int i : kMakerCopies)
    {
        const FileReading& copy = s.files[i];
        if (!s.vistaOrLater || makerCounted || !copy.exists || !(f = Add(out, L"leftover-maker-copy", SeverityWarning)))
            continue;
        Format(f->message, L"%s is left in the maker's folder: from Windows Vista on nothing loads the driver from "
                           L"there and no count keeps it.", copy.path);
        RemoveCommand(L"del /f /a", copy.path, f->fix);
    }
    for (const FileReading& file : s.files)
    {
        if (file.temporaryExists && !file.temporaryPending && !s.pendingUnread &&
            (f = Add(out, L"leftover-temporary", SeverityWarning)))
        {
            Format(f->message, L"%s was left for a replacement at restart, but no pending rename uses it.",
                   file.temporary);
            RemoveCommand(L"del /f /a", file.temporary, f->fix);
        }
    }
}

void CheckService(const Facts& k, Findings* out)
{
    const ServiceReading& svc = k.s->service;
    Finding* f = nullptr;
    if (!svc.exists)
    {
        if (k.users > 0 && !k.s->serviceUnread && (f = Add(out, L"service-missing", SeverityError)))
        {
            Format(f->message, L"The driver is counted (%lu) but the Pellimar service does not exist: the driver is "
                               L"never loaded.", k.users);
            RepairRun(*k.s, k.appId, f->fix);
        }
        return;
    }
    // A configuration that could not be read is a read error and no finding.
    bool settings = svc.configRead && (svc.type != kExpectedType || svc.start != kExpectedStart ||
                                       svc.errorControl != kExpectedErrorControl || !svc.imagePathMatches);
    bool key = svc.keyImagePathRead && !svc.keyImagePathMatches;
    if ((settings || key) && (f = Add(out, L"service-misconfigured", SeverityError)))
    {
        const wchar_t* expected = k.s->layout.driverImage;
        if (settings)
            Format(f->message, L"The Pellimar service has type %lu, start %lu, error control %lu and image %s; the "
                               L"installer sets type 1 (kernel driver), start 3 (on demand), error control 1 and %s.",
                   svc.type, svc.start, svc.errorControl, svc.imagePath, expected);
        if (key)
            Append(f->message, L"%sThe service's key holds the image %s, which the service manager takes from the "
                               L"next start of the machine; the installer sets %s.", settings ? L" " : L"",
                   svc.keyImagePath, expected);
        RepairRun(*k.s, k.appId, f->fix);
    }
    if (svc.markedForDeletion && (f = Add(out, L"service-marked-for-deletion", SeverityWarning)))
    {
        Format(f->message, L"The Pellimar service is marked for deletion: it goes at the next restart%s.",
               k.users > 0 ? L", while products still count the driver" : L"");
        if (k.users > 0 || !k.usersKnown)
        {
            RepairRun(*k.s, k.appId, f->fix);
            Append(f->fix, L" before restarting: it clears the mark");
        }
        else
        {
            Format(f->fix, L"restart the machine");
        }
    }
}

void CheckPending(const Facts& k, Findings* out)
{
    const MachineState& s = *k.s;
    for (int i = 0; i < s.pending.Count(); ++i)
    {
        const PendingReading& p = s.pending[i];
        const FileReading& file = s.files[p.file];
        const wchar_t* path = p.temporary ? file.temporary : file.path;
        // Deleted or renamed away, the file is gone after the restart; with the counts unread, nobody can
        // say that no product needs it. Another file renamed onto one of ours takes its place as ours.
        bool leaves = p.kind == PendingDeletes || p.kind == PendingMovesAway;
        bool used = leaves && !p.temporary && file.expected && (k.users > 0 || !k.usersKnown);
        bool other = p.kind == PendingOverwrites;
        Finding* f = Add(out, p.unresolved ? L"pending-entry-unresolved" : other ? L"restart-installs-other-file"
                                                 : used ? L"restart-deletes-used-file" : L"restart-pending",
                         !p.unresolved && (other || used) ? SeverityError : SeverityWarning);
        if (f == nullptr)
            continue;
        wchar_t undo[kFindingChars];
        wchar_t update[kFindingChars];
        ForceUpdateFix(false, update);
        Format(undo, L"an install does not withdraw this entry: remove the pair from %s under HKLM\\%s before "
                     L"restarting, or restart and then ", kPendingValues[p.list], kSessionManagerKey);
        if (p.unresolved)
        {
            Format(f->message, L"The pending entry %s names a file %s through a path that the check cannot follow "
                               L"as the restart will: it may be %s.", leaves ? p.source : p.target, file.name, path);
            Format(f->fix, L"if it is, %s%s", undo, update);
            continue;
        }
        if (other)
        {
            Format(f->message, L"%s is replaced at the next restart by %s, which is no file of the installer's: the "
                               L"restart puts it in the place of ours.", path, p.source);
            Format(f->fix, L"%s%s", undo, update);
            continue;
        }
        if (p.kind == PendingDeletes)
            Format(f->message, L"%s is deleted at the next restart (pending %s)", path, p.source);
        else if (p.kind == PendingMovesAway)
            Format(f->message, L"%s is renamed to %s at the next restart, which takes it from its place", path,
                   p.target + (p.target[0] == L'!' ? 1 : 0));
        else
            Format(f->message, L"%s is replaced at the next restart (pending rename of %s)", path, p.source);
        Append(f->message, !used ? L"." : k.usersKnown ? L" while the driver is counted (%lu)."
                                                       : L" while the counts that say who uses it could not be read.",
               k.users);
        if (!used)
        {
            Format(f->fix, L"restart the machine");
        }
        else if (p.withdrawable)
        {
            RepairRun(*k.s, k.appId, f->fix);
            Append(f->fix, L"; an install withdraws pending deletions of the files it puts in place, written under "
                           L"their short or long path");
        }
        else
        {
            wchar_t repair[kFindingChars];
            RepairRun(*k.s, k.appId, repair);
            Format(f->fix, L"%s%s, which puts the file back", undo, repair);
        }
    }
}
// A count change that a run began in a product's key and did not finish: the installer's next run settles
// it from the counts, unless the counts changed since, which leaves it to a person.
void CheckCountChanges(const Facts& k, Findings* out)
{
    const MachineState& s = *k.s;
    for (int i = 0; i < s.products.Count(); ++i)
    {
        const ProductReading& p = s.products[i];
        wchar_t* note = nullptr;
        if (p.changing && IsChangeOwnerAlive(p.change) && (note = AddNote(out)) != nullptr)
            Format(note, L"A run (process %lu) is changing the usage count of %s right now.", p.change.owner, p.appId);
        if (!p.changing || IsChangeOwnerAlive(p.change))
            continue;
        ChangeProgress progress = ChangeProgressOf(s, p.change);
        const wchar_t* doing = p.change.release ? L"released its use" : L"counted it";
        bool unknown = progress == ChangeProgress::Neither;
        Finding* f = Add(out, unknown ? L"count-change-unknown" : L"count-change-unsettled",
                         unknown ? SeverityError : SeverityWarning);
        if (f == nullptr)
            continue;
        if (unknown)
        {
            Format(f->message, L"A run for %s stopped while it %s, and the usage count changed since: whether the "
                               L"count holds that product's use cannot be told; no run of that product goes on.",
                   p.appId, doing);
            SetCountCommand(s.mainCount, static_cast<DWORD>(s.registrations), f->fix);
            if (Quotable(p.appId))
                Append(f->fix, L"; then `reg delete \"HKLM\\%s\\%s\" /v CountChange /f`", kPellimarKey, p.appId);
            else
                Append(f->fix, L"; then delete the value CountChange of HKLM\\%s\\%s with regedit", kPellimarKey,
                       p.appId);
            continue;
        }
        Format(f->message, L"A run for %s stopped while it %s: the count shows that it %s. The installer's next "
                           L"run settles it.",
               p.appId, doing, HoldsUse(p.change, progress) ? L"holds that product's use" : L"does not hold it");
        if (!IsPassableAppId(p.appId))
            Format(f->fix, L"run that product's setup again");
        else if (p.change.release)
            Format(f->fix, L"run `TOVRAND64x86.EXE /U /Q /NOREGAPPID \"%s\"` from that product's setup: it "
                           L"finishes the uninstall", p.appId);
        else
            Format(f->fix, L"run `TOVRAND64x86.EXE /Q \"%s\"` from that product's setup: it finishes the install",
                   p.appId);
    }
}

// What is there of Pellimar when nothing counts it and no product is registered.
void NoUsersNote(const MachineState& s, wchar_t* note)
{
    bool sys = s.files[kFileSys].exists;
    bool service = s.service.exists;
    if (sys && service)
    {
        Format(note, L"The driver is installed without users (as an uninstall with NODEL leaves it): nothing to fix; "
                     L"the next product install uses it again.");
        return;
    }
    wchar_t parts[kFindingChars] = L"";
    if (service)
        Append(parts, L", the Pellimar service (its driver image %s is missing)", s.files[kFileSys].path);
    if (sys)
        Append(parts, GoesAtRestart(s, kFileSys) ? L", the driver image (it goes at the next restart)"
                                                 : L", the driver image");
    const int kOthers[] = {kFileInf, kFileCat, kFileKvm, kFileGrd, kFileSig, kFileInstaller};
    for (int i : kOthers)
    {
        if (s.files[i].exists)
            Append(parts, L", %s", s.files[i].name);
    }
    if (s.uninstallEntryExists)
        Append(parts, L", the uninstall entry");
    if (parts[0] == L'\0')
        Format(note, L"Pellimar is not installed on this machine.");
    else
        Format(note, L"Parts of Pellimar are left without users: %s. Nothing counts them; the next product install "
                     L"puts the rest back.", parts + 2);
}
}  // namespace

void EvaluateFindings(const MachineState& s, Findings* out)
{
    Facts k = {&s, 0, s.mainCount.state == CountUnreadable, 0, false, nullptr};
    if (s.mainCount.state == CountReadable)
        k.counted = s.mainCount.count;
    if (!s.vistaOrLater && s.makerCount.state == CountReadable && s.makerCount.count > k.counted)
        k.counted = s.makerCount.count;
    k.users = k.unreadable ? static_cast<DWORD>(s.registrations) : k.counted;
    k.usersKnown = !s.countsUnread && !s.registrationsUnread;
    for (int i = 0; i < s.products.Count() && k.appId == nullptr; ++i)
    {
        if (s.products[i].registered && IsPassableAppId(s.products[i].appId))
            k.appId = s.products[i].appId;
    }

    wchar_t* note = nullptr;
    if (s.installerRunning && (note = AddNote(out)) != nullptr)
        Format(note, L"An installer holds Global\\Pellimar_running: the state may be changing while it is read. "
                     L"Run the check again when it has finished.");
    CheckCountChanges(k, out);
    CheckCounts(k, out);
    CheckFiles(k, out);
    CheckService(k, out);
    CheckPending(k, out);

    // Without users, what is there is said as it is; with lists unread, nothing is said about users.
    if (k.usersKnown && !k.unreadable && k.users == 0 && s.registrations == 0 && (note = AddNote(out)) != nullptr)
        NoUsersNote(s, note);
    if (s.pendingListDamaged && (note = AddNote(out)) != nullptr)
        Format(note, L"PendingFileRenameOperations is damaged (another type, or a string that runs past its end); "
                     L"only the entries before the damage were read.");
}

const wchar_t* VerdictOf(const Findings& f)
{
    return f.errors > 0 ? L"error" : f.warnings > 0 ? L"warning" : L"ok";
}

int ExitCodeOf(const MachineState& s, const Findings& f)
{
    if (s.readErrors.Count() > 0 || s.readErrorsNotShown > 0)
        return kCheckUnreadable;
    return f.errors > 0 ? kCheckErrors : f.warnings > 0 ? kCheckWarnings : kCheckOk;
}
