// Building and reading pending-rename lists in tests: wide strings with embedded NULs, a log sink that
// keeps the formatted lines, and a pair reader written independently of the installer's scan.
#pragma once
#include <windows.h>

#include <stdarg.h>

#include <string>
#include <utility>
#include <vector>

namespace pendinglist
{
inline std::wstring Z(int count = 1) { return std::wstring(count, L'\0'); }
// A deletion pair (empty target) and a rename pair.
inline std::wstring Del(const std::wstring& source) { return source + Z(2); }
inline std::wstring Ren(const std::wstring& source, const std::wstring& target) { return source + Z() + target + Z(); }

inline std::vector<std::wstring>& Captured()
{
    static std::vector<std::wstring> lines;
    return lines;
}

// Formats as the installer's log does (%s is a wide string) and keeps the message.
inline void CaptureLog(const wchar_t* format, ...)
{
    wchar_t buffer[1025];
    va_list args;
    va_start(args, format);
    wvsprintfW(buffer, format, args);
    va_end(args);
    Captured().push_back(buffer);
}

inline std::wstring AsciiLower(std::wstring text)
{
    for (wchar_t& ch : text)
    {
        if (ch >= L'A' && ch <= L'Z')
            ch = static_cast<wchar_t>(ch - L'A' + L'a');
    }
    return text;
}

typedef std::pair<std::wstring, std::wstring> Pair;

// Reads pairs until the empty string that ends the list. True when that end lies inside the data;
// *endAt is the position of that closing NUL.
inline bool ReadPairs(const std::wstring& list, std::vector<Pair>* pairs, size_t* endAt = nullptr)
{
    size_t pos = 0;
    while (pos < list.size())
    {
        if (list[pos] == L'\0')
        {
            if (endAt != nullptr)
                *endAt = pos;
            return true;
        }
        size_t sourceEnd = list.find(L'\0', pos);
        if (sourceEnd == std::wstring::npos)
            return false;
        size_t targetEnd = list.find(L'\0', sourceEnd + 1);
        if (targetEnd == std::wstring::npos)
            return false;
        if (pairs != nullptr)
            pairs->push_back(Pair(list.substr(pos, sourceEnd - pos),
                                  list.substr(sourceEnd + 1, targetEnd - sourceEnd - 1)));
        pos = targetEnd + 1;
    }
    return false;
}

// A list as the platform writes it: pairs, then exactly one closing NUL as the last character.
inline bool IsStrictList(const std::wstring& list)
{
    size_t endAt = 0;
    return ReadPairs(list, nullptr, &endAt) && endAt + 1 == list.size();
}

inline std::wstring FromBytes(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

inline std::string ToBytes(const std::wstring& list)
{
    return std::string(reinterpret_cast<const char*>(list.data()), list.size() * sizeof(wchar_t));
}
}  // namespace pendinglist
