// Wide-character string with an explicit capacity and a 32-bit tag, and a growable array of them.
// Every path, key name and log text of the installer lives in one of these.
#pragma once
#include <windows.h>

// A text from the module's string table, and a string made without a capacity of its own.
const int kTextChars = 290;

// Copies src into dst of capacity characters, cut at the capacity and always terminated. true when it
// was cut.
bool CopyBounded(wchar_t* dst, int capacity, const wchar_t* src);

// Whether two names are the same without regard to case, as the registry and the file system compare
// them: character by character, each folded to its upper case on its own, nothing passed over and
// nothing expanded. lstrcmpiW compares linguistically: it takes "Æ" for "AE" and passes over a
// soft hyphen, so two keys or files of different names would pass for one. A length of -1: up to the NUL.
bool SameNoCase(const wchar_t* a, int aLength, const wchar_t* b, int bLength);
inline bool SameNoCase(const wchar_t* a, const wchar_t* b)
{
    return SameNoCase(a, -1, b, -1);
}

class CWString
{
public:
    // Records the owner of the allocation-failure box (only a live window), the module whose string
    // table holds its texts, and the capacity of strings made without one (265 when below 1).
    static void InitClass(HWND owner, HINSTANCE module, int defaultCapacity, UINT messageId, UINT captionId);
    static int DefaultCapacity();

    CWString();
    explicit CWString(int capacity);
    CWString(const CWString& other);
    ~CWString();

    CWString& operator=(const CWString& other);
    CWString& operator=(const wchar_t* text);

    void Append(const wchar_t* text);
    void Append(const CWString& other) { Append(other.m_buffer); }
    // printf-style with msvcrt's meaning (%s is a wide string); never grows, the result is cut at the capacity.
    void Format(const wchar_t* format, ...);

    int Length() const;
    int Capacity() const { return m_capacity; }
    bool IsEmpty() const { return m_buffer == nullptr || m_buffer[0] == L'\0'; }
    wchar_t* Buffer() { return m_buffer; }
    const wchar_t* Str() const { return m_buffer != nullptr ? m_buffer : L""; }

    wchar_t* LastChar();
    wchar_t* CharAt(int index);
    int FindChar(wchar_t ch) const;
    int Find(const wchar_t* text, bool ignoreCase) const;
    CWString Left(int n) const { return Slice(n, false); }
    CWString Right(int n) const { return Slice(n, true); }
    bool StripLastPathComponent();

    void SetTag(DWORD tag) { m_tag = tag; m_hasTag = true; }
    DWORD GetTag() const { return m_hasTag ? m_tag : 0; }
    bool HasTag() const { return m_hasTag; }

private:
    void Reallocate(int capacity, bool keepText);
    CWString Slice(int n, bool fromEnd) const;

    int m_capacity;
    DWORD m_tag;
    bool m_hasTag;   // false once a reallocation dropped the tag
    wchar_t* m_buffer;
};

class CWStringArray
{
public:
    CWStringArray();
    ~CWStringArray();

    int Count() const { return m_count; }
    void SetSize(int n);
    int Add(const wchar_t* text, DWORD tag);
    CWString Get(int index) const;
    DWORD GetTag(int index) const;
    void DestroyItem(int index);

private:
    CWStringArray(const CWStringArray&) = delete;
    CWStringArray& operator=(const CWStringArray&) = delete;

    int m_count;
    CWString* m_items;
    CWString m_blank;
};

// Misuse of the array ends the process after a system-modal box naming the source line.
[[noreturn]] void WStringArrayFatal(const char* file, int line);
