// The answer for programs: one JSON object, UTF-8, keys documented in docs/support.md.
#include "check/report.h"

#include "base/buildversion.h"

namespace
{
// Writes objects and arrays with one member per line; tracks where a comma is due.
class CJsonWriter
{
public:
    explicit CJsonWriter(COutput& out) : m_out(out), m_depth(0) { m_first[0] = true; }

    void Open(const wchar_t* key, wchar_t bracket)
    {
        Member(key);
        wchar_t text[2] = {bracket, L'\0'};
        m_out.Write(text);
        if (m_depth < kMaxDepth - 1)
            m_first[++m_depth] = true;
    }
    void Close(wchar_t bracket)
    {
        bool empty = m_first[m_depth];
        if (m_depth > 0)
            --m_depth;
        if (!empty)
            NewLine();
        wchar_t text[2] = {bracket, L'\0'};
        m_out.Write(text);
    }
    void String(const wchar_t* key, const wchar_t* value)
    {
        Member(key);
        m_out.JsonString(value);
    }
    void Number(const wchar_t* key, ULONGLONG value)
    {
        Member(key);
        m_out.Print(L"%I64u", value);
    }
    void Bool(const wchar_t* key, bool value)
    {
        Member(key);
        m_out.Write(value ? L"true" : L"false");
    }
    void Null(const wchar_t* key)
    {
        Member(key);
        m_out.Write(L"null");
    }

private:
    static const int kMaxDepth = 8;
    // key is null for an array element.
    void Member(const wchar_t* key)
    {
        if (m_depth == 0 && m_first[0])
        {
            m_first[0] = false;
            return;   // the outermost object itself
        }
        if (!m_first[m_depth])
            m_out.Write(L",");
        m_first[m_depth] = false;
        NewLine();
        if (key != nullptr)
        {
            m_out.JsonString(key);
            m_out.Write(L": ");
        }
    }
    void NewLine()
    {
        m_out.Write(L"\r\n");
        for (int i = 0; i < m_depth; ++i)
            m_out.Write(L"  ");
    }

    COutput& m_out;
    int m_depth;
    bool m_first[kMaxDepth];
};

void Count(CJsonWriter& j, const wchar_t* key, const CountReading& c)
{
    j.Open(key, L'{');
    j.String(L"value", c.valueName);
    j.String(L"state", c.state == CountReadable ? L"counted" : c.state == CountUnreadable ? L"unreadable" : L"missing");
    if (c.state == CountReadable)
        j.Number(L"count", c.count);
    else
        j.Null(L"count");
    j.Close(L'}');
}

void Files(CJsonWriter& j, const MachineState& s)
{
    j.Open(L"files", L'[');
    for (const FileReading& f : s.files)
    {
        if (!f.exists && !f.expected)
            continue;
        j.Open(nullptr, L'{');
        j.String(L"name", f.name);
        j.String(L"path", f.path);
        if (f.unread)
            j.Null(L"exists");
        else
            j.Bool(L"exists", f.exists);
        if (f.directory)
            j.Bool(L"directory", true);
        if (f.exists)
        {
            wchar_t version[32];
            VersionText(f.version, version);
            j.Number(L"size", f.size);
            j.String(L"version", version);
        }
        if (f.catalogue != DigestNotApplicable)
            j.String(L"catalogue", DigestText(f.catalogue));
        if (f.manifest != DigestNotApplicable)
            j.String(L"manifest", DigestText(f.manifest));
        j.Close(L'}');
    }
    j.Close(L']');
}

void Pending(CJsonWriter& j, const MachineState& s)
{
    j.Open(L"pending", L'[');
    for (int i = 0; i < s.pending.Count(); ++i)
    {
        j.Open(nullptr, L'{');
        j.String(L"source", s.pending[i].source);
        j.String(L"target", s.pending[i].target);
        j.String(L"file", s.files[s.pending[i].file].path);
        j.String(L"list", kPendingValues[s.pending[i].list]);
        j.Bool(L"resolved", !s.pending[i].unresolved);
        j.Close(L'}');
    }
    j.Close(L']');
    j.Number(L"pending_not_shown", static_cast<ULONGLONG>(s.pendingNotShown));
    j.Number(L"pending_other_entries", static_cast<ULONGLONG>(s.pendingOtherEntries));
    j.Bool(L"pending_list_damaged", s.pendingListDamaged);
    j.Open(L"leftovers", L'[');
    if (s.payloadDirExists)
        j.String(nullptr, s.layout.payloadDir);
    for (const FileReading& f : s.files)
    {
        if (f.temporaryExists)
            j.String(nullptr, f.temporary);
    }
    j.Close(L']');
}
}  // namespace

void WriteJsonReport(COutput& out, const MachineState& s, const Findings& f)
{
    CJsonWriter j(out);
    wchar_t version[32];
    VersionText(kBuildVersion, version);
    j.Open(nullptr, L'{');
    j.String(L"check_version", version);
    j.String(L"verdict", VerdictOf(f));
    j.Number(L"exit_code", static_cast<ULONGLONG>(ExitCodeOf(s, f)));
    j.Bool(L"installer_running", s.installerRunning);
    j.Bool(L"vista_or_later", s.vistaOrLater);

    j.Open(L"counts", L'{');
    Count(j, L"main", s.mainCount);
    if (!s.vistaOrLater || s.makerCount.state != CountMissing)
        Count(j, L"maker", s.makerCount);
    j.Number(L"registered_products", static_cast<ULONGLONG>(s.registrations));
    j.Close(L'}');

    j.Open(L"products", L'[');
    for (int i = 0; i < s.products.Count(); ++i)
    {
        const ProductReading& p = s.products[i];
        j.Open(nullptr, L'{');
        j.String(L"appid", p.appId);
        j.Bool(L"registered", p.registered);
        j.Bool(L"installed_apps", p.installedApps);
        j.Bool(L"shared_usage", p.sharedUsage);
        j.Close(L'}');
    }
    j.Close(L']');

    j.Open(L"service", L'{');
    j.Bool(L"exists", s.service.exists);
    if (s.service.exists && s.service.configRead)
    {
        j.Number(L"type", s.service.type);
        j.Number(L"start", s.service.start);
        j.Number(L"error_control", s.service.errorControl);
        j.String(L"image_path", s.service.imagePath);
        j.Bool(L"image_path_matches", s.service.imagePathMatches);
    }
    if (s.service.exists && s.service.keyImagePathRead)
    {
        j.String(L"key_image_path", s.service.keyImagePath);
        j.Bool(L"key_image_path_matches", s.service.keyImagePathMatches);
    }
    if (s.service.exists)
        j.Bool(L"marked_for_deletion", s.service.markedForDeletion);
    j.Close(L'}');

    j.Open(L"uninstall_entry", L'{');
    j.Bool(L"exists", s.uninstallEntryExists);
    if (s.uninstallEntryExists)
        j.String(L"command", s.uninstallEntry);
    j.Bool(L"matches", s.uninstallEntryMatches);
    j.Close(L'}');

    Files(j, s);
    Pending(j, s);

    j.Open(L"notes", L'[');
    for (int i = 0; i < f.noteCount; ++i)
        j.String(nullptr, f.notes[i]);
    j.Close(L']');
    j.Open(L"read_errors", L'[');
    for (int i = 0; i < s.readErrors.Count(); ++i)
    {
        j.Open(nullptr, L'{');
        j.String(L"what", s.readErrors[i].what);
        j.Number(L"code", s.readErrors[i].code);
        j.Close(L'}');
    }
    j.Close(L']');
    j.Open(L"findings", L'[');
    for (int i = 0; i < f.items.Count(); ++i)
    {
        const Finding& item = f.items[i];
        j.Open(nullptr, L'{');
        j.String(L"id", item.id);
        j.String(L"severity", item.severity == SeverityError ? L"error" : L"warning");
        j.String(L"message", item.message);
        j.String(L"fix", item.fix);
        j.Close(L'}');
    }
    j.Close(L']');
    j.Number(L"findings_not_shown", static_cast<ULONGLONG>(f.notShown));
    j.Close(L'}');
    out.Write(L"\r\n");
}
