#include "base/log.h"

#include <stdarg.h>
#include <stdio.h>

#include "base/files.h"
#include "base/handle.h"
#include "base/ownlog.h"
#include "base/wstring.h"

namespace
{
const int kMessageChars = 580;   // message, its newline and the terminator
const int kLineChars = 870;
bool g_logDisabled = false;
// This process's own log, once PELLIMAR.LOG could not be trusted: held to the end of the process (the
// system closes it), so that every later line goes there too and the name is never opened again.
HANDLE g_ownLog = INVALID_HANDLE_VALUE;

// The file is written as 8-bit text: U+0001..U+00FF become the byte of the same value and a newline
// becomes CR LF. A character beyond U+00FF has no single byte; it is written as '?' so that the rest
// of the line and its line end are never lost.
int ToLogBytes(const wchar_t* line, char* out, int room)
{
    int n = 0;
    for (const wchar_t* p = line; *p != L'\0' && n + 2 <= room; ++p)
    {
        if (*p == L'\n')
        {
            out[n++] = '\r';
            out[n++] = '\n';
        }
        else
        {
            // A character beyond the Basic Multilingual Plane is a surrogate pair: one '?' for both.
            if (*p >= 0xD800 && *p <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF)
                ++p;
            out[n++] = *p > 0xFF ? '?' : static_cast<char>(*p);
        }
    }
    return n;
}

// The file this line goes to: PELLIMAR.LOG opened afresh, with every sharing mode allowed, since several
// installer processes append to it, each line in one write of its own. A name that is a link, or a file
// an unprivileged user prepared for a privileged run, is not written to: the run's lines go to a log of
// its own name beside it instead. INVALID_HANDLE_VALUE when neither can be opened.
HANDLE OpenLog(const wchar_t* directory, const wchar_t* path)
{
    if (g_ownLog != INVALID_HANDLE_VALUE)
        return g_ownLog;
    bool refused = false;
    const DWORD everyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = own_log::OpenForAppend(path, everyShare, false, &refused);
    if (refused)
        file = g_ownLog = own_log::CreateOwnLog(directory, L"PELLIMAR");
    return file;
}

// One line, with its header, appended to the log file.
void WriteLine(const wchar_t* message)
{
    wchar_t directory[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 16];
    DWORD got = GetTempPathW(MAX_PATH + 1, directory);
    // A directory that does not fit is as unusable as none at all.
    if (got == 0 || got > MAX_PATH || !JoinPath(path, MAX_PATH + 16, directory, L"PELLIMAR.LOG"))
    {
        OutputDebugStringW(message);
        return;
    }

    SYSTEMTIME date;
    GetLocalTime(&date);
    SYSTEMTIME time;
    GetLocalTime(&time);
    wchar_t dateField[16];
    wchar_t timeField[16];
    _snwprintf(dateField, 15, L"%02d/%02d/%02d", date.wMonth, date.wDay, date.wYear % 100);
    _snwprintf(timeField, 15, L"%02d:%02d:%02d", time.wHour, time.wMinute, time.wSecond);

    HANDLE target = OpenLog(directory, path);
    if (target == INVALID_HANDLE_VALUE)
    {
        OutputDebugStringW(message);
        return;
    }
    CScopedHandle shared(target != g_ownLog ? target : nullptr);

    wchar_t line[kLineChars];
    _snwprintf(line, kLineChars - 1, L"[%s %s][PID:%d] %s", dateField, timeField,
               static_cast<int>(GetCurrentProcessId()), message);
    line[kLineChars - 1] = L'\0';

    char bytes[kLineChars * 2];
    int count = ToLogBytes(line, bytes, sizeof(bytes));
    DWORD done = 0;
    WriteFile(target, bytes, static_cast<DWORD>(count), &done, nullptr);
}
}  // namespace

void (*log_seam::AfterLine)(const wchar_t* message) = nullptr;

void LogDisable()
{
    g_logDisabled = true;
}

void LogEvent(const char* format, ...)
{
    if (g_logDisabled)
        return;
    wchar_t message[kMessageChars];
    message[0] = L'\0';
    if (format != nullptr)
    {
        wchar_t wideFormat[kMessageChars];
        int i = 0;
        for (; format[i] != '\0' && i < kMessageChars - 1; ++i)
            wideFormat[i] = static_cast<unsigned char>(format[i]);
        wideFormat[i] = L'\0';
        // _vsnwprintf is msvcrt's: %s is a wide string there, unlike MinGW's C99 printf family.
        va_list args;
        va_start(args, format);
        int written = _vsnwprintf(message, kMessageChars - 1, wideFormat, args);
        va_end(args);
        // More than 578 characters would leave no room for the newline: the message is dropped.
        if (written < 0 || written > kMessageChars - 2)
            written = 0;
        message[written] = L'\0';
    }
    lstrcatW(message, L"\n");
    WriteLine(message);
    if (log_seam::AfterLine != nullptr)
        log_seam::AfterLine(message);
}
