#include "check/commands.h"

#include <stdarg.h>
#include <stdio.h>

#include "context/cmdline.h"
#include "system/selfdelete.h"
#include "usage/usagecount.h"

namespace
{
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
}  // namespace

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

bool Quotable(const wchar_t* text)
{
    for (const wchar_t* p = text; *p != L'\0'; ++p)
    {
        if (*p == L'"' || *p == L'%' || *p < 0x20 || *p == 0x7F)
            return false;
    }
    return text[0] != L'\0';
}

bool IsPassableAppId(const wchar_t* appId)
{
    // One that the installer refuses, takes for a switch, or takes for a self-delete request.
    if (!Quotable(appId) || IsRefusedAppId(appId) || IsSwitchName(appId))
        return false;
    // The installer looks for the self-delete switch with its own search, which is linguistic: asked the same.
    CWString text;
    text = appId;
    return text.Find(kSelfDeleteSwitch, true) < 0;
}

void RepairRun(const MachineState& s, const wchar_t* appId, wchar_t* out)
{
    if (appId != nullptr)
        Format(out, L"run `TOVRAND64x86.EXE /Q \"%s\"` from that product's setup (an install for a registered "
                    L"product copies the files again, repairs the service and the uninstall entry, and counts "
                    L"nothing twice)", appId);
    else if (s.registrations > 0)
        Format(out, L"run the install of a registered product from its setup (no registered AppID can be written "
                    L"on a command line as it stands, so none is named here; an install for a registered product "
                    L"copies the files again, repairs the service and the uninstall entry, and counts nothing "
                    L"twice)");
    else
        Format(out, L"run `TOVRAND64x86.EXE /Q` (an update run: it copies the files again and repairs the "
                    L"service and the uninstall entry)");
}

void SetCountCommand(const CountReading& c, DWORD count, wchar_t* out)
{
    if (Quotable(c.valueName))
        Format(out, L"`reg add \"HKLM\\%s\" /v \"%s\" /t REG_SZ /d %lu /f` (from a 64-bit prompt) makes the count "
                    L"%lu, one per registered product", kSharedDllsKey, c.valueName, count, count);
    else
        Format(out, L"set the value %s under HKLM\\%s to the text %lu with regedit, one per registered product",
               c.valueName, kSharedDllsKey, count);
}

void RemoveCommand(const wchar_t* command, const wchar_t* path, wchar_t* out)
{
    if (Quotable(path))
        Format(out, L"`%s \"%s\"`", command, path);
    else
        Format(out, L"remove %s with the Explorer (its name cannot be quoted in a prompt)", path);
}
