#include "context/cmdline.h"

#include <new>

#include "base/alloc.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"

namespace
{
bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

struct SwitchRow
{
    const wchar_t* name;
    BOOL GlobalInfo::*field;
    BOOL value;
};

// Compared in this order; the first equal name wins.
const SwitchRow kSwitches[] = {
    {L"LOG", &GlobalInfo::Log, TRUE},
    {L"U", &GlobalInfo::Uninstall, TRUE},
    {L"Q", &GlobalInfo::Quiet, TRUE},
    {L"NODEL", &GlobalInfo::NoDel, TRUE},
    // Accepted, and of no effect: no field.
    {L"REGSERVER", nullptr, TRUE},
    {L"UNREGSERVER", nullptr, TRUE},
    {L"NOVDD", nullptr, TRUE},
    {L"CONSUMER", &GlobalInfo::Consumer, TRUE},
    {L"NOREPAIR", nullptr, FALSE},
    {L"NOREGAPPID", &GlobalInfo::RegAppId, FALSE},
    {L"FORCEUPDATE", &GlobalInfo::ForceUpdate, TRUE},
    {L"NOKVMANIFEST", &GlobalInfo::KvManifest, FALSE},
    {L"USEQZMANIFEST", &GlobalInfo::UseQzManifest, TRUE},
    {L"NOREGQZ", &GlobalInfo::NoRegQz, TRUE},
    {L"ROLLBACK", nullptr, TRUE},
    {L"CHECKFOROLDERVERSION", nullptr, TRUE},
    {L"HRESULT", &GlobalInfo::HResult, TRUE},
    {L"DELONREBOOT", &GlobalInfo::DelOnReboot, TRUE},
};

const SwitchRow* FindSwitch(const wchar_t* arg)
{
    for (const SwitchRow& row : kSwitches)
    {
        if (SameNoCase(arg, row.name))
            return &row;
    }
    return nullptr;
}

bool ApplySwitch(GlobalInfo* info, const wchar_t* arg)
{
    const SwitchRow* row = FindSwitch(arg);
    if (row != nullptr && row->field != nullptr)
        info->*row->field = row->value;
    return row != nullptr;
}

// The AppID names a key below the product registrations and a value in the shared-file lists: a
// backslash would reach into another product's key, and control characters have no business in
// either name.
bool HasForbiddenAppIdChar(const wchar_t* appId)
{
    for (const wchar_t* p = appId; *p != L'\0'; ++p)
    {
        if (*p == L'\\' || *p < 0x20 || *p == 0x7F)
            return true;
    }
    return false;
}

// Logging can be switched on from the registry when nothing on the command line did: only a
// four-byte REG_DWORD that is not zero counts.
void ApplyLogFileSetting(GlobalInfo* info)
{
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Norvatek\\Pellimar", L"LogFile");
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (entry.QueryValue(&type, &value, &size) == ERROR_SUCCESS && type == REG_DWORD &&
        size == sizeof(value) && value != 0)
        info->Log = TRUE;
}
}  // namespace

CCommandLine::CCommandLine(const wchar_t* text)
    : m_parsed(FALSE), m_count(0), m_text(nullptr), m_args(nullptr), m_overlong(FALSE), m_allocFailed(FALSE),
      m_unclosedQuote(FALSE)
{
    SetCommandLine(text);
}

CCommandLine::~CCommandLine()
{
    FreeAll();
}

void CCommandLine::FreeArguments()
{
    if (m_args != nullptr)
    {
        for (DWORD i = 0; i < m_count; ++i)
            delete[] m_args[i];
        delete[] m_args;
        m_args = nullptr;
    }
    m_count = 0;
}

void CCommandLine::FreeAll()
{
    FreeArguments();
    delete[] m_text;
    m_text = nullptr;
}

void CCommandLine::SetCommandLine(const wchar_t* text)
{
    FreeAll();
    m_parsed = FALSE;
    m_overlong = FALSE;
    m_allocFailed = FALSE;
    m_unclosedQuote = FALSE;
    if (text != nullptr)
    {
        m_text = CopyText(text);
        if (m_text == nullptr)
            m_allocFailed = TRUE;
    }
}

const wchar_t* CCommandLine::GetArg(DWORD index) const
{
    if (m_args == nullptr || index >= m_count)
        return nullptr;
    return m_args[index];
}

// The array grows by exactly one slot per argument: command lines hold a handful of arguments.
void CCommandLine::AddArgument(const wchar_t* arg)
{
    wchar_t* copy = CopyText(arg);
    wchar_t** grown = new (std::nothrow) wchar_t*[m_count + 1];
    if (copy == nullptr || grown == nullptr)
    {
        delete[] copy;
        delete[] grown;
        m_allocFailed = TRUE;
        return;
    }
    ZeroMemory(grown, sizeof(wchar_t*) * (m_count + 1));
    for (DWORD i = 0; i < m_count; ++i)
        grown[i] = m_args[i];
    grown[m_count] = copy;
    delete[] m_args;
    m_args = grown;
    ++m_count;
}

BOOL CCommandLine::Parse()
{
    FreeArguments();
    m_overlong = FALSE;
    m_unclosedQuote = FALSE;
    if (m_text == nullptr)
    {
        m_parsed = TRUE;
        return FALSE;
    }

    wchar_t buffer[kArgumentChars];
    int length = 0;
    bool inArgument = false;
    bool inQuotes = false;
    for (const wchar_t* p = m_text;; ++p)
    {
        wchar_t c = *p;
        if (!inArgument)
        {
            if (IsBlank(c))
                continue;
            inArgument = true;
            length = 0;
        }
        if (c == L'\0')
            break;
        if (IsBlank(c) && !inQuotes)
        {
            buffer[length] = L'\0';
            AddArgument(buffer);
            inArgument = false;
            length = 0;
            continue;
        }
        if (c == L'"')
        {
            if (!inQuotes)
            {
                inQuotes = true;
                continue;
            }
            // A closing quote ends the argument even without a blank after it.
            buffer[length] = L'\0';
            AddArgument(buffer);
            inQuotes = false;
            inArgument = false;
            length = 0;
            continue;
        }
        // Switch characters are dropped wherever they stand: /LOG, -log and L-O/G are all LOG.
        if ((c == L'-' || c == L'/') && !inQuotes)
            continue;
        if (length < kArgumentChars - 1)
            buffer[length++] = c;
        else
            m_overlong = TRUE;
    }
    // An unbalanced quote runs to the end of the text; what it collected still counts as an argument,
    // but the text is marked, so that nobody acts on switches the open quote swallowed.
    m_unclosedQuote = inQuotes ? TRUE : FALSE;
    if (length > 0)
    {
        buffer[length] = L'\0';
        AddArgument(buffer);
    }
    m_parsed = TRUE;
    return TRUE;
}

BOOL IsSwitchName(const wchar_t* arg)
{
    return FindSwitch(arg) != nullptr;
}

BOOL IsRefusedAppId(const wchar_t* appId)
{
    return lstrlenW(appId) > kMaxAppIdLength || HasForbiddenAppIdChar(appId);
}

BOOL ParseCmdLine(GlobalInfo* info, const wchar_t* commandLine)
{
    CCommandLine cmd(commandLine);
    cmd.Parse();
    // Acting on half a command line could turn an uninstall into an install: refuse it whole.
    if (cmd.HadAllocationFailure())
    {
        LogEvent("  ParseCmdLine: Failed to allocate memory for CCommandLine.");
        return FALSE;
    }

    const wchar_t* appIdArg = nullptr;
    for (DWORD i = 0; i < cmd.GetArgCount(); ++i)
    {
        const wchar_t* arg = cmd.GetArg(i);
        if (!ApplySwitch(info, arg))
            appIdArg = arg;   // the last argument that is no switch wins
    }

    // An unusable AppID is never stored, not even cut short; it still counts as given, so that the
    // mode and the conflict checks treat the run as the caller meant it.
    bool appIdTooLong = false;
    bool appIdBadChar = false;
    if (appIdArg != nullptr)
    {
        appIdTooLong = lstrlenW(appIdArg) > kMaxAppIdLength;
        appIdBadChar = HasForbiddenAppIdChar(appIdArg);
        info->AppId = (appIdTooLong || appIdBadChar) ? L"" : appIdArg;
    }
    bool haveAppId = !info->AppId.IsEmpty() || appIdTooLong || appIdBadChar;

    if (!info->Log)
        ApplyLogFileSetting(info);

    info->UpdateOnly = (!info->Uninstall && !haveAppId) ? TRUE : FALSE;

    BOOL result = TRUE;
    if (info->Uninstall && !haveAppId)
    {
        LogEvent("ERROR: Uninstall requires an AppID to be passed in as the last parameter.");
        result = FALSE;
    }
    if (!info->RegAppId && info->NoDel)
    {
        LogEvent("ERROR: NOREGAPPID and NODEL cannot be used together.");
        result = FALSE;
    }
    if (!info->UpdateOnly && info->ForceUpdate)
    {
        LogEvent("ERROR: FORCEUPDATE can only be used in update mode.");
        info->ForceUpdate = FALSE;
        result = FALSE;
    }
    if (info->NoRegQz && (info->Consumer || info->UseQzManifest))
    {
        LogEvent("ERROR: NOREGQZ cannot be used with CONSUMER or USEQZMANIFEST.");
        result = FALSE;
    }
    if (cmd.HadOverlongArgument())
    {
        LogEvent("ERROR: A command line argument is longer than 263 characters.");
        result = FALSE;
    }
    if (appIdTooLong)
    {
        LogEvent("ERROR: The AppID is longer than 47 characters.");
        result = FALSE;
    }
    if (appIdBadChar)
    {
        LogEvent("ERROR: The AppID must not contain a backslash or a control character.");
        result = FALSE;
    }
    // A lost closing quote makes one argument of everything behind the opening one: the uninstall
    // meant by "PRODUCTA /U /Q would become the install of a product of that whole name.
    if (cmd.HadUnclosedQuote())
    {
        LogEvent("ERROR: A quote on the command line is not closed.");
        result = FALSE;
    }

    return result;
}
