#include "check/output.h"

#include <stdarg.h>
#include <stdio.h>

namespace
{
const int kLineChars = 2048;
const int kChunkChars = 512;
}  // namespace

COutput::COutput(DWORD stdHandle) : m_handle(GetStdHandle(stdHandle)), m_console(false)
{
    DWORD mode = 0;
    m_console = m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE && GetConsoleMode(m_handle, &mode);
}

void COutput::WriteChars(const wchar_t* text, int count)
{
    if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE || count <= 0)
        return;
    // In pieces: WriteConsoleW refuses large buffers on older systems, and the UTF-8 buffer stays small.
    // A piece never ends between the two halves of a surrogate pair.
    while (count > 0)
    {
        int n = count > kChunkChars ? kChunkChars : count;
        if (n < count && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
            --n;
        DWORD done = 0;
        if (m_console)
        {
            WriteConsoleW(m_handle, text, static_cast<DWORD>(n), &done, nullptr);
        }
        else
        {
            char bytes[kChunkChars * 3];
            int length = WideCharToMultiByte(CP_UTF8, 0, text, n, bytes, sizeof(bytes), nullptr, nullptr);
            if (length > 0)
                WriteFile(m_handle, bytes, static_cast<DWORD>(length), &done, nullptr);
        }
        text += n;
        count -= n;
    }
}

void COutput::Write(const wchar_t* text)
{
    WriteChars(text, lstrlenW(text));
}

void COutput::Print(const wchar_t* format, ...)
{
    wchar_t line[kLineChars];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(line, kLineChars - 1, format, args);
    va_end(args);
    if (n < 0 || n > kLineChars - 1)
        n = kLineChars - 1;
    // A format's own text holds no control character but the line end it may close with; what it
    // inserts (names from the registry, paths, another program's pending entry) may hold any. ESC would
    // start a terminal sequence and a lone CR overwrite the line: each is shown as <U+001B> and so on.
    int formatLength = lstrlenW(format);
    bool lineEnd = formatLength >= 2 && format[formatLength - 2] == L'\r' && format[formatLength - 1] == L'\n';
    if (lineEnd && n >= 2 && line[n - 2] == L'\r' && line[n - 1] == L'\n')
        n -= 2;
    // The piece is written out before a character could overrun it (an escape takes 8 places and a NUL), and
    // a high surrogate at its end waits for the next piece, so that a pair is never split: at most that one
    // character is carried over, whatever the line holds.
    wchar_t piece[kChunkChars + 16];
    int used = 0;
    for (int i = 0; i < n; ++i)
    {
        if (used >= kChunkChars)
        {
            bool high = piece[used - 1] >= 0xD800 && piece[used - 1] <= 0xDBFF;
            WriteChars(piece, used - (high ? 1 : 0));
            piece[0] = piece[used - 1];
            used = high ? 1 : 0;
        }
        wchar_t ch = line[i];
        if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F))
            used += _snwprintf(piece + used, 9, L"<U+%04X>", static_cast<unsigned>(ch));
        else
            piece[used++] = ch;
    }
    WriteChars(piece, used);
    if (lineEnd)
        WriteChars(L"\r\n", 2);
}

void COutput::JsonString(const wchar_t* text)
{
    wchar_t buffer[kChunkChars + 8];
    int n = 0;
    buffer[n++] = L'"';
    for (const wchar_t* p = text;; ++p)
    {
        // Flushed between characters, never inside a surrogate pair: only a low half that follows a high
        // one holds the flush back, so the buffer grows by one character at most.
        bool secondHalf = *p >= 0xDC00 && *p <= 0xDFFF && p > text && p[-1] >= 0xD800 && p[-1] <= 0xDBFF;
        if ((n > kChunkChars && !secondHalf) || *p == L'\0')
        {
            WriteChars(buffer, n);
            n = 0;
            if (*p == L'\0')
                break;
        }
        wchar_t ch = *p;
        bool high = ch >= 0xD800 && ch <= 0xDBFF;
        bool low = ch >= 0xDC00 && ch <= 0xDFFF;
        // A surrogate half is written as an escape whenever it is not part of a pair, so that the UTF-8
        // stays valid and the exact registry name can still be recovered.
        bool unpaired = (high && !(p[1] >= 0xDC00 && p[1] <= 0xDFFF)) ||
                        (low && !(p > text && p[-1] >= 0xD800 && p[-1] <= 0xDBFF));
        if (ch == L'"' || ch == L'\\')
        {
            buffer[n++] = L'\\';
            buffer[n++] = ch;
        }
        else if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F) || unpaired)
        {
            n += _snwprintf(buffer + n, 7, L"\\u%04x", static_cast<unsigned>(ch));
        }
        else
        {
            buffer[n++] = ch;
        }
    }
    WriteChars(L"\"", 1);
}
