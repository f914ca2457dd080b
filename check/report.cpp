// The report for a person: the state in sections, then the findings with what goes wrong and the fix.
#include "check/report.h"

#include <stdio.h>

#include "context/version.h"
#include "base/buildversion.h"
#include "usage/usagecount.h"

namespace
{
void CountLine(COutput& out, const CountReading& c)
{
    if (c.state == CountReadable)
        out.Print(L"  %-58s %lu\r\n", c.valueName, c.count);
    else if (c.state == CountUnreadable)
        out.Print(L"  %-58s unreadable (type %lu)\r\n", c.valueName, c.type);
    else
        out.Print(L"  %-58s none\r\n", c.valueName);
}

void Sections(COutput& out, const MachineState& s)
{
    out.Print(L"Usage counts (HKLM\\%s)\r\n", kSharedDllsKey);
    CountLine(out, s.mainCount);
    if (!s.vistaOrLater || s.makerCount.state != CountMissing)
        CountLine(out, s.makerCount);
    out.Print(L"  %-58s %d\r\n", L"registered products (HKLM\\SOFTWARE\\Norvatek\\Pellimar)", s.registrations);

    out.Write(L"\r\nProducts (registered, InstalledApps, SharedUsage)\r\n");
    if (s.products.Count() == 0)
        out.Write(L"  none\r\n");
    for (int i = 0; i < s.products.Count(); ++i)
    {
        const ProductReading& p = s.products[i];
        out.Print(L"  %-47s %-11s %-14s %s\r\n", p.appId, p.registered ? L"registered" : L"-",
                  p.installedApps ? L"InstalledApps" : L"-", p.sharedUsage ? L"SharedUsage" : L"-");
    }
    if (s.productsNotShown > 0)
        out.Print(L"  ... and %d more\r\n", s.productsNotShown);

    out.Write(L"\r\nService Pellimar\r\n");
    if (!s.service.exists)
        out.Write(L"  not installed\r\n");
    else if (!s.service.configRead)
        out.Write(L"  configuration not read\r\n");
    else
    {
        out.Print(L"  type %lu, start %lu, error control %lu%s\r\n", s.service.type, s.service.start,
                  s.service.errorControl, s.service.markedForDeletion ? L", MARKED FOR DELETION" : L"");
        out.Print(L"  image %s\r\n", s.service.imagePath);
    }
    if (s.service.keyImagePathRead && !SameNoCase(s.service.keyImagePath, s.service.imagePath))
        out.Print(L"  image in the service's key (taken at the next start of the machine) %s\r\n",
                  s.service.keyImagePath);

    out.Write(L"\r\nFiles\r\n");
    for (const FileReading& f : s.files)
    {
        if (!f.exists && !f.expected)
            continue;
        int directoryChars = lstrlenW(f.path) - lstrlenW(f.name) - 1;
        if (!f.exists)
        {
            out.Print(L"  %-18s %-45s in %.*s\r\n", f.name,
                      f.unread ? L"not read" : f.directory ? L"a directory" : L"missing", directoryChars, f.path);
            continue;
        }
        wchar_t version[32];
        wchar_t digests[96] = L"";
        VersionText(f.version, version);
        if (f.catalogue != DigestNotApplicable)
            _snwprintf(digests, 48, L"catalogue %s%s", DigestText(f.catalogue), f.imageDigest ? L" (image)" : L"");
        if (f.manifest != DigestNotApplicable)
            _snwprintf(digests + lstrlenW(digests), 48, L"%smanifest %s", digests[0] != L'\0' ? L", " : L"",
                       DigestText(f.manifest));
        out.Print(L"  %-18s %7I64u bytes %-10s %-26s in %.*s\r\n", f.name, f.size, version, digests, directoryChars,
                  f.path);
    }

    out.Write(L"\r\nUninstall entry (QuietUninstallString)\r\n");
    out.Print(L"  %s\r\n", s.uninstallEntryExists ? s.uninstallEntry : L"none");

    out.Write(L"\r\nPending restart operations on our files\r\n");
    if (s.pending.Count() == 0)
        out.Write(s.pendingUnread ? L"  not read\r\n" : L"  none\r\n");
    for (int i = 0; i < s.pending.Count(); ++i)
    {
        const PendingReading& p = s.pending[i];
        if (p.target[0] == L'\0')
            out.Print(L"  delete  %s\r\n", p.source);
        else
            out.Print(L"  rename  %s -> %s\r\n", p.source, p.target);
    }
    if (s.pendingNotShown > 0)
        out.Print(L"  ... and %d more\r\n", s.pendingNotShown);
    if (s.pendingOtherEntries > 0)
        out.Print(L"  (%d other entries of other programs)\r\n", s.pendingOtherEntries);

    out.Write(L"\r\nLeftovers\r\n");
    bool any = s.payloadDirExists;
    if (s.payloadDirExists)
        out.Print(L"  %s%s\r\n", s.layout.payloadDir, s.installerRunning ? L" (an installer is running)" : L"");
    for (const FileReading& f : s.files)
    {
        if (f.temporaryExists)
            out.Print(L"  %s%s\r\n", f.temporary, f.temporaryPending ? L" (renamed at the restart)" : L"");
        any = any || f.temporaryExists;
    }
    if (!any)
        out.Write(L"  none\r\n");
}
}  // namespace

const wchar_t* DigestText(DigestCheck check)
{
    switch (check)
    {
    case DigestMatches: return L"ok";
    case DigestMismatch: return L"mismatch";
    case DigestNotListed: return L"not listed";
    case DigestNoSource: return L"unverifiable";
    case DigestUnreadable: return L"unreadable";
    default: return L"";
    }
}

void VersionText(ULONGLONG version, wchar_t* out)
{
    out[0] = L'\0';
    if (version == 0)
        return;
    _snwprintf(out, 32, L"%d.%d.%d.%d", VersionPart(version, 0), VersionPart(version, 1), VersionPart(version, 2),
               VersionPart(version, 3));
}

void WriteTextReport(COutput& out, const MachineState& s, const Findings& f)
{
    wchar_t version[32];
    VersionText(kBuildVersion, version);
    out.Print(L"TOVCHECK64.EXE %s - Pellimar on this machine (read only)\r\n", version);
    out.Write(L"\r\n");
    Sections(out, s);

    if (s.readErrors.Count() > 0 || s.readErrorsNotShown > 0)
    {
        out.Write(L"\r\nCould not be read\r\n");
        for (int i = 0; i < s.readErrors.Count(); ++i)
            out.Print(L"  %s (error %lu)\r\n", s.readErrors[i].what, s.readErrors[i].code);
        if (s.readErrorsNotShown > 0)
            out.Print(L"  ... and %d more\r\n", s.readErrorsNotShown);
    }
    if (f.noteCount > 0)
    {
        out.Write(L"\r\nNotes\r\n");
        for (int i = 0; i < f.noteCount; ++i)
            out.Print(L"  %s\r\n", f.notes[i]);
    }
    out.Write(L"\r\nFindings\r\n");
    if (f.items.Count() == 0)
        out.Write(L"  none\r\n");
    for (int i = 0; i < f.items.Count(); ++i)
    {
        const Finding& item = f.items[i];
        out.Print(L"  %-7s %s\r\n", item.severity == SeverityError ? L"ERROR" : L"WARNING", item.id);
        out.Print(L"          %s\r\n", item.message);
        out.Print(L"          Fix: %s\r\n", item.fix);
    }
    if (f.notShown > 0)
        out.Print(L"  ... and %d more\r\n", f.notShown);
    out.Write(L"\r\n");
    out.Print(L"Verdict: %s (errors: %d, warnings: %d)\r\n", VerdictOf(f), f.errors, f.warnings);
}
