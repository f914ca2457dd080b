// The check's text output: WriteConsoleW when the handle is a console (any character shows as it is), UTF-8
// bytes through WriteFile otherwise (a pipe, a file, a Unix terminal under Wine).
#pragma once
#include <windows.h>

class COutput
{
public:
    explicit COutput(DWORD stdHandle);
    ~COutput() = default;

    void Write(const wchar_t* text);
    // printf-style; %s takes a wide string (msvcrt's meaning). A line longer than 2047 characters is cut.
    // Control characters in the result are written as <U+001B> and so on, except the CR LF that closes
    // the format: a format holds no other line break.
    void Print(const wchar_t* format, ...);
    // text as a JSON string: quoted, with quotes, backslashes, control characters (C1 too) and unpaired
    // surrogates escaped.
    void JsonString(const wchar_t* text);
    bool IsConsole() const { return m_console; }

private:
    COutput(const COutput&) = delete;
    COutput& operator=(const COutput&) = delete;
    void WriteChars(const wchar_t* text, int count);

    HANDLE m_handle;
    bool m_console;
};
