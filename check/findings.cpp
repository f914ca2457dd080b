#include "check/findings.h"

#include <stdarg.h>
#include <stdio.h>

#include "context/locations.h"
#include "usage/usagecount.h"

namespace
{
const DWORD kExpectedType = SERVICE_KERNEL_DRIVER;
const DWORD kExpectedStart = SERVICE_DEMAND_START;
const DWORD kExpectedErrorControl = SERVICE_ERROR_NORMAL;

// _vsnwprintf is msvcrt's: %s takes a wide string there. Appends to a buffer of kFindingChars, cut at its
// end and always terminated.
void AppendV(wchar_t* buffer, const wchar_t* format, va_list args)
{
    int used = lstrlenW(buffer);
    int room = kFindingChars - 1 - used;
    if (room <= 0)
        return;
    int n = _vsnwprintf(buffer + used, room, format, args);
    buffer[used + (n >= 0 && n < room ? n : room)] = L'\0';
}

void Append(wchar_t* buffer, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendV(buffer, format, args);
    va_end(args);
}

void Format(wchar_t* buffer, const wchar_t* format, ...)
{
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    AppendV(buffer, format, args);
    va_end(args);
}

Finding* Add(Findings* out, const wchar_t* id, Severity severity)
{
    if (severity == SeverityError)
        ++out->errors;
    else
        ++out->warnings;
    if (out->count == kMaxFindings)
    {
        ++out->notShown;
        return nullptr;
    }
    Finding* f = &out->items[out->count++];
    f->id = id;
    f->severity = severity;
    return f;
}

wchar_t* AddNote(Findings* out)
{
    return out->noteCount < kMaxNotes ? out->notes[out->noteCount++] : nullptr;
}

// What the evaluation works from, worked out once.
struct Facts
{
    const MachineState* s;
    DWORD counted;        // the installer's count: the higher of both records before Vista
    bool unreadable;
    DWORD users;          // products that rely on the driver: the count, or the registrations when
                          // the count says nothing
    const wchar_t* appId; // a registered product, for the repair command; null when none
};

// The installer run that puts back driver, service, uninstall entry and the shared copy: an install
// for a registered product (it counts nothing again), or an update run when no product is registered.
void RepairCommand(const Facts& k, wchar_t* out)
{
    if (k.appId != nullptr)
        Format(out, L"run `TOVRAND64x86.EXE /Q %s` from that product's setup (an install for a registered "
                    L"product copies the files again, repairs the service and the uninstall entry, and counts "
                    L"nothing twice)", k.appId);
    else
        Format(out, L"run `TOVRAND64x86.EXE /Q` (an update run: it copies the files again and repairs the "
                    L"service and the uninstall entry)");
}

void SetCountCommand(const Facts& k, DWORD count, wchar_t* out)
{
    Format(out, L"`reg add \"HKLM\\%s\" /v \"%s\" /t REG_SZ /d %lu /f` (from a 64-bit prompt) makes the count "
                L"%lu, one per registered product", kSharedDllsKey, k.s->mainCount.valueName, count, count);
}

void CheckCounts(const Facts& k, Findings* out)
{
    const MachineState& s = *k.s;
    Finding* f = nullptr;
    DWORD registered = static_cast<DWORD>(s.registrations);
    // Half of a comparison that could not be read says nothing; the read error is reported instead.
    bool comparable = !k.unreadable && !s.countsUnread && !s.registrationsUnread;
    if (k.unreadable && (f = Add(out, L"count-unreadable", SeverityError)) != nullptr)
    {
        Format(f->message, L"The usage count %s under SharedDlls (type %lu) is not a number: programs that read "
                           L"it take it for 0 and an uninstall would remove the driver under the %d registered "
                           L"products.", s.mainCount.valueName, s.mainCount.type, s.registrations);
        if (k.appId != nullptr)
            Format(f->fix, L"run `TOVRAND64x86.EXE /Q %s` from that product's setup: the installer rebuilds the "
                           L"count from the %d registrations", k.appId, s.registrations);
        else
            SetCountCommand(k, registered, f->fix);
    }
    if (comparable && k.counted > 0 && k.counted < registered &&
        (f = Add(out, L"count-below-registrations", SeverityError)) != nullptr)
    {
        Format(f->message, L"The count is %lu but %lu products are registered: the uninstall that brings the "
                           L"count to 0 removes the driver, its service and files while %lu of those products "
                           L"still use them.", k.counted, registered, registered - k.counted);
        SetCountCommand(k, registered, f->fix);
    }
    if (comparable && k.counted > registered && (f = Add(out, L"count-above-registrations", SeverityWarning)))
    {
        Format(f->message, L"The count is %lu but %lu products are registered: after the last registered "
                           L"product's uninstall the count stays at %lu, and the driver with nobody to remove it.",
               k.counted, registered, k.counted - registered);
        SetCountCommand(k, registered, f->fix);
        Append(f->fix, L", if no product outside the registrations uses the driver");
    }
    if (comparable && k.counted == 0 && registered > 0 &&
        (f = Add(out, L"registrations-without-count", SeverityWarning)) != nullptr)
    {
        Format(f->message, L"%lu products are registered under HKLM\\%s but nothing is counted: the next install "
                           L"takes the registrations for leftovers and deletes them.", registered, kPellimarKey);
        SetCountCommand(k, registered, f->fix);
    }
    for (int i = 0; i < s.productCount; ++i)
    {
        const ProductReading& p = s.products[i];
        if (p.registered && !p.installedApps && (f = Add(out, L"product-not-in-installedapps", SeverityWarning)))
        {
            Format(f->message, L"%s is registered but not listed under HKLM\\%s: its uninstall `TOVRAND64x86.EXE "
                               L"/U /Q %s` lowers no count, and the driver outlives the product.",
                   p.appId, kInstalledAppsKey, p.appId);
            Format(f->fix, L"uninstall it with `TOVRAND64x86.EXE /U /Q /NOREGAPPID %s`, or have its setup list it "
                           L"under HKLM\\%s", p.appId, kInstalledAppsKey);
        }
    }
}

const wchar_t* DigestProblem(DigestCheck check)
{
    switch (check)
    {
    case DigestMismatch: return L"differs from the digest that %s lists for it";
    case DigestNotListed: return L"is not listed in %s";
    case DigestNoSource: return L"cannot be checked: %s is missing or unreadable";
    default: return nullptr;   // also a file that could not be read: a read error, not a finding
    }
}

void CheckFiles(const Facts& k, Findings* out)
{
    const MachineState& s = *k.s;
    Finding* f = nullptr;
    if (k.users > 0 && !s.files[kFileSys].exists && (f = Add(out, L"driver-missing", SeverityError)))
    {
        Format(f->message, L"The driver is counted (%lu) but %s is missing: the Pellimar service cannot start.",
               k.users, s.files[kFileSys].path);
        RepairCommand(k, f->fix);
    }
    struct Vouch { int file; bool catalogue; int source; };
    const Vouch kVouches[] = {{kFileSys, true, kFileCat},        {kFileInf, true, kFileCat},
                              {kFileMakerSys, true, kFileMakerCat}, {kFileMakerInf, true, kFileMakerCat},
                              {kFileSys, false, kFileKvm},       {kFileKvm, false, kFileGrd}};
    for (const Vouch& v : kVouches)
    {
        const FileReading& file = s.files[v.file];
        DigestCheck check = v.catalogue ? file.catalogue : file.manifest;
        const wchar_t* problem = DigestProblem(check);
        if (problem == nullptr || (f = Add(out, L"driver-digest-mismatch", SeverityError)) == nullptr)
            continue;
        wchar_t what[kFindingChars];
        Format(what, problem, s.files[v.source].name);
        Format(f->message, L"%s %s: Windows or the protection product may refuse to load the driver.", file.path, what);
        Format(f->fix, L"run `TOVRAND64x86.EXE /Q /FORCEUPDATE` (the shared copy or a product's setup): it writes "
                       L"the driver, INF, catalogue and manifests again");
    }
    if (k.users > 0 && !s.files[kFileInstaller].exists && (f = Add(out, L"installer-copy-missing", SeverityError)))
    {
        Format(f->message, L"The driver is counted (%lu) but the shared installer copy %s is gone: the products' "
                           L"uninstalls, which run it, fail.", k.users, s.files[kFileInstaller].path);
        RepairCommand(k, f->fix);
    }
    if (((k.users > 0 && !s.uninstallEntryExists) || (s.uninstallEntryExists && !s.uninstallEntryMatches)) &&
        (f = Add(out, L"uninstall-entry-mismatch", SeverityWarning)))
    {
        if (s.uninstallEntryExists)
            Format(f->message, L"The uninstall entry runs %s instead of the shared copy %s.", s.uninstallEntry,
                   s.files[kFileInstaller].path);
        else
            Format(f->message, L"The driver is counted (%lu) but the uninstall entry (QuietUninstallString of "
                               L"Uninstall\\Tovrand) is missing.", k.users);
        if (k.users > 0)
            RepairCommand(k, f->fix);
        else
            Format(f->fix, L"`reg delete \"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand\" /f`");
    }
    if (s.payloadDirExists && !s.installerRunning && (f = Add(out, L"leftover-payload", SeverityWarning)))
    {
        Format(f->message, L"No installer runs, yet its payload directory %s exists: a run ended before removing "
                           L"it (a crash or a power loss).", s.payloadDir);
        Format(f->fix, L"`rmdir /s /q \"%s\"`", s.payloadDir);
    }
    for (const FileReading& file : s.files)
    {
        if (file.temporaryExists && !file.temporaryPending && (f = Add(out, L"leftover-temporary", SeverityWarning)))
        {
            Format(f->message, L"%s was left for a replacement at restart, but no pending rename uses it.",
                   file.temporary);
            Format(f->fix, L"`del \"%s\"`", file.temporary);
        }
    }
}

void CheckService(const Facts& k, Findings* out)
{
    const ServiceReading& svc = k.s->service;
    Finding* f = nullptr;
    if (!svc.exists)
    {
        if (k.users > 0 && (f = Add(out, L"service-missing", SeverityError)))
        {
            Format(f->message, L"The driver is counted (%lu) but the Pellimar service does not exist: the driver is "
                               L"never loaded.", k.users);
            RepairCommand(k, f->fix);
        }
        return;
    }
    bool settings = svc.type != kExpectedType || svc.start != kExpectedStart || svc.errorControl != kExpectedErrorControl;
    if ((settings || !svc.imagePathMatches) && (f = Add(out, L"service-misconfigured", SeverityError)))
    {
        wchar_t expected[kStatePathChars];
        JoinPath(expected, kStatePathChars, k.s->driversDir, kDriverSysName);
        Format(f->message, L"The Pellimar service has type %lu, start %lu, error control %lu and image %s; the "
                           L"installer sets type 1 (kernel driver), start 3 (on demand), error control 1 and %s.",
               svc.type, svc.start, svc.errorControl, svc.imagePath, expected);
        RepairCommand(k, f->fix);
    }
    if (svc.markedForDeletion && (f = Add(out, L"service-marked-for-deletion", SeverityWarning)))
    {
        Format(f->message, L"The Pellimar service is marked for deletion: it goes at the next restart%s.",
               k.users > 0 ? L", while products still count the driver" : L"");
        if (k.users > 0)
        {
            RepairCommand(k, f->fix);
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
    for (int i = 0; i < s.pendingCount; ++i)
    {
        const PendingReading& p = s.pending[i];
        const FileReading& file = s.files[p.file];
        bool deletion = p.target[0] == L'\0';
        bool used = deletion && !p.temporary && file.needed && k.users > 0;
        Finding* f = Add(out, used ? L"restart-deletes-used-file" : L"restart-pending",
                         used ? SeverityError : SeverityWarning);
        if (f == nullptr)
            continue;
        if (used)
        {
            Format(f->message, L"%s is deleted at the next restart (pending %s) while the driver is counted (%lu).",
                   file.path, p.source, k.users);
            RepairCommand(k, f->fix);
            Append(f->fix, L"; an install withdraws pending deletions of the files it installs");
        }
        else
        {
            if (deletion)
                Format(f->message, L"%s is deleted at the next restart.", p.temporary ? file.temporary : file.path);
            else
                Format(f->message, L"%s is replaced at the next restart (pending rename of %s).", file.path, p.source);
            Format(f->fix, L"restart the machine");
        }
    }
}
}  // namespace

void EvaluateFindings(const MachineState& s, Findings* out)
{
    ZeroMemory(out, sizeof(*out));
    Facts k = {&s, 0, s.mainCount.state == CountUnreadable, 0, nullptr};
    if (s.mainCount.state == CountReadable)
        k.counted = s.mainCount.count;
    if (s.makerCount.state == CountReadable && s.makerCount.count > k.counted)
        k.counted = s.makerCount.count;
    k.users = k.unreadable ? static_cast<DWORD>(s.registrations) : k.counted;
    for (int i = 0; i < s.productCount && k.appId == nullptr; ++i)
    {
        if (s.products[i].registered && !s.products[i].nameCut)
            k.appId = s.products[i].appId;
    }

    wchar_t* note = nullptr;
    if (s.installerRunning && (note = AddNote(out)) != nullptr)
        Format(note, L"An installer holds Global\\Pellimar_running: the state may be changing while it is read. "
                     L"Run the check again when it has finished.");
    CheckCounts(k, out);
    CheckFiles(k, out);
    CheckService(k, out);
    CheckPending(k, out);

    bool installed = s.files[kFileSys].exists || s.service.exists;
    if (k.users == 0 && s.registrations == 0 && (note = AddNote(out)) != nullptr)
        Format(note, installed ? L"The driver is installed without users (kept by an uninstall with NODEL): nothing "
                                 L"to fix; the next product install uses it again."
                               : L"Pellimar is not installed on this machine.");
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
    if (s.readErrorCount > 0)
        return kCheckUnreadable;
    return f.errors > 0 ? kCheckErrors : f.warnings > 0 ? kCheckWarnings : kCheckOk;
}
