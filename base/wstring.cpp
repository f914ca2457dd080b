#include "base/wstring.h"

#include "base/sysdll.h"

#include <stdio.h>

#include <new>
#include <stdarg.h>
#include <string.h>

namespace
{
const int kBuiltInDefaultCapacity = 265;
int g_defaultCapacity = kBuiltInDefaultCapacity;
HWND g_owner = nullptr;
HINSTANCE g_module = nullptr;
UINT g_messageId = 0;
UINT g_captionId = 0;

// abort() of the C runtime may put up its own "unusual way" box on a GUI program; ending the process
// directly keeps abort's exit code without a second box that nobody can answer in a silent setup.
[[noreturn]] void EndProcessAbnormally()
{
    TerminateProcess(GetCurrentProcess(), 3);
    ExitProcess(3);
}

// The fatal boxes are all this class needs of user32: it is loaded for them, so that a program
// without windows (the state check) does not load it at every start (under Wine that is most of its
// start-up). The box's owner: the given window when it is one, else the active window when asked.
struct CUser32
{
    HMODULE module = LoadSystemLibrary(L"user32.dll");
    template <typename Fn>
    Fn Get(const char* name) const
    {
        return module != nullptr ? reinterpret_cast<Fn>(GetProcAddress(module, name)) : nullptr;
    }
};

void FatalBox(HWND owner, bool activeOwner, const wchar_t* text, const wchar_t* caption, UINT flags)
{
    CUser32 user32;
    auto isWindow = user32.Get<BOOL(WINAPI*)(HWND)>("IsWindow");
    auto activeWindow = user32.Get<HWND(WINAPI*)()>("GetActiveWindow");
    auto messageBox = user32.Get<int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT)>("MessageBoxW");
    if (isWindow == nullptr || activeWindow == nullptr || messageBox == nullptr)
        return;
    messageBox(activeOwner ? activeWindow() : (isWindow(owner) ? owner : nullptr), text, caption, flags);
}

[[noreturn]] void AllocationFailed()
{
    wchar_t text[kTextChars] = L"Error allocating memory for string";
    wchar_t caption[kTextChars] = L"Pellimar Installer";
    auto loadString = CUser32().Get<int(WINAPI*)(HINSTANCE, UINT, LPWSTR, int)>("LoadStringW");
    if (g_module != nullptr && loadString != nullptr)
    {
        if (g_messageId != 0 && loadString(g_module, g_messageId, text, kTextChars) == 0)
            lstrcpyW(text, L"Error allocating memory for string");
        if (g_captionId != 0 && loadString(g_module, g_captionId, caption, kTextChars) == 0)
            lstrcpyW(caption, L"Pellimar Installer");
    }
    FatalBox(g_owner, false, text, caption, MB_OK | MB_ICONHAND | MB_SYSTEMMODAL);
    EndProcessAbnormally();
}

wchar_t* AllocateChars(int capacity)
{
    wchar_t* p = new (std::nothrow) wchar_t[capacity];
    if (p == nullptr)
        AllocationFailed();
    ZeroMemory(p, sizeof(wchar_t) * capacity);
    return p;
}

}  // namespace

bool CopyBounded(wchar_t* dst, int capacity, const wchar_t* src)
{
    if (dst == nullptr || capacity <= 0)
        return src != nullptr && src[0] != L'\0';
    int i = 0;
    for (; i < capacity - 1 && src[i] != L'\0'; ++i)
        dst[i] = src[i];
    dst[i] = L'\0';
    return src[i] != L'\0';
}

namespace
{
wchar_t UpperOf(wchar_t ch)
{
    if (ch < 0x80)
        return ch >= L'a' && ch <= L'z' ? static_cast<wchar_t>(ch - (L'a' - L'A')) : ch;
    // The invariant upper case maps one character to one, without a locale's rules; a surrogate half
    // or anything it refuses stays as it is.
    wchar_t upper = ch;
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &ch, 1, &upper, 1);
    return upper;
}
}  // namespace

bool SameNoCase(const wchar_t* a, int aLength, const wchar_t* b, int bLength)
{
    aLength = aLength < 0 ? lstrlenW(a) : aLength;
    bLength = bLength < 0 ? lstrlenW(b) : bLength;
    if (aLength != bLength)
        return false;
    for (int i = 0; i < aLength; ++i)
    {
        if (a[i] != b[i] && UpperOf(a[i]) != UpperOf(b[i]))
            return false;
    }
    return true;
}

void CWString::InitClass(HWND owner, HINSTANCE module, int defaultCapacity, UINT messageId, UINT captionId)
{
    g_owner = owner;   // whether it is a live window is asked when a box is shown
    g_module = module;
    g_defaultCapacity = defaultCapacity < 1 ? kBuiltInDefaultCapacity : defaultCapacity;
    g_messageId = messageId;
    g_captionId = captionId;
}

int CWString::DefaultCapacity()
{
    return g_defaultCapacity;
}

CWString::CWString() : m_capacity(0), m_tag(0), m_hasTag(true), m_buffer(nullptr)
{
    Reallocate(g_defaultCapacity, false);
    m_hasTag = true;
}

CWString::CWString(int capacity) : m_capacity(0), m_tag(0), m_hasTag(true), m_buffer(nullptr)
{
    if (capacity > 0)
        Reallocate(capacity, false);
    m_hasTag = true;
}

CWString::CWString(const CWString& other) : m_capacity(0), m_tag(0), m_hasTag(true), m_buffer(nullptr)
{
    if (other.m_capacity > 0)
        Reallocate(other.m_capacity, false);
    if (!other.IsEmpty())
        CopyBounded(m_buffer, m_capacity, other.m_buffer);
    m_hasTag = other.m_hasTag;
    m_tag = other.m_hasTag ? other.m_tag : 0;
}

CWString::~CWString()
{
    delete[] m_buffer;
}

void CWString::Reallocate(int capacity, bool keepText)
{
    wchar_t* fresh = AllocateChars(capacity);
    if (keepText && m_buffer != nullptr)
        CopyBounded(fresh, capacity, m_buffer);
    delete[] m_buffer;
    m_buffer = fresh;
    m_capacity = capacity;
    // A reallocation drops the tag; reading it later yields a fresh 0.
    m_hasTag = false;
    m_tag = 0;
}

CWString& CWString::operator=(const CWString& other)
{
    if (this == &other)
        return *this;
    if (other.m_capacity > m_capacity)
        Reallocate(other.m_capacity, false);
    if (m_buffer != nullptr)
    {
        if (other.m_buffer != nullptr)
            CopyBounded(m_buffer, m_capacity, other.m_buffer);
        else
            m_buffer[0] = L'\0';
    }
    if (other.m_hasTag)
        SetTag(other.m_tag);
    return *this;
}

CWString& CWString::operator=(const wchar_t* text)
{
    if (text == nullptr)
    {
        if (m_buffer != nullptr)
            ZeroMemory(m_buffer, sizeof(wchar_t) * m_capacity);
        return *this;
    }
    if (text >= m_buffer && text < m_buffer + m_capacity)
    {
        // Assigning a part of ourselves: take a copy first, a reallocation would free the source.
        CWString copy(*this);
        return *this = copy.m_buffer + (text - m_buffer);
    }
    int length = lstrlenW(text);
    if (length >= m_capacity)
        Reallocate(length + 1, false);
    CopyBounded(m_buffer, m_capacity, text);
    return *this;
}

void CWString::Append(const wchar_t* text)
{
    if (text == nullptr)
        return;
    if (text >= m_buffer && text < m_buffer + m_capacity)
    {
        CWString copy(*this);
        Append(copy.m_buffer + (text - m_buffer));
        return;
    }
    int current = Length();
    int added = lstrlenW(text);
    if (current + added + 1 > m_capacity)
        Reallocate(current + added + 1, true);
    CopyBounded(m_buffer + current, m_capacity - current, text);
}

void CWString::Format(const wchar_t* format, ...)
{
    if (m_buffer == nullptr || format == nullptr)
        return;
    // Formatted into room of 1024 characters and cut to our capacity, so a short string is never overrun.
    // _vsnwprintf is msvcrt's: %s is a wide string there.
    wchar_t scratch[1025];
    va_list args;
    va_start(args, format);
    _vsnwprintf(scratch, 1024, format, args);
    va_end(args);
    scratch[1024] = L'\0';
    CopyBounded(m_buffer, m_capacity, scratch);
}

int CWString::Length() const
{
    return m_buffer != nullptr ? lstrlenW(m_buffer) : 0;
}

wchar_t* CWString::LastChar()
{
    if (m_buffer == nullptr)
        return nullptr;
    int length = Length();
    if (length == 0)
        return m_buffer;
    return m_buffer + length - 1;
}

wchar_t* CWString::CharAt(int index)
{
    if (m_buffer == nullptr)
        return nullptr;
    if (index < 0)
        index = 0;
    if (index >= m_capacity)
        index = m_capacity - 1;
    return m_buffer + index;
}

int CWString::FindChar(wchar_t ch) const
{
    if (IsEmpty())
        return -1;
    for (const wchar_t* p = m_buffer; *p != L'\0'; ++p)
    {
        if (*p == ch)
            return static_cast<int>(p - m_buffer);
    }
    return -1;
}

int CWString::Find(const wchar_t* text, bool ignoreCase) const
{
    if (IsEmpty() || text == nullptr)
        return -1;
    int length = Length();
    int wanted = lstrlenW(text);
    if (wanted == 0 || wanted > length)
        return -1;
    for (int i = 0; i + wanted <= length; ++i)
    {
        bool same = ignoreCase ? SameNoCase(m_buffer + i, wanted, text, wanted)
                               : memcmp(m_buffer + i, text, wanted * sizeof(wchar_t)) == 0;
        if (same)
            return i;
    }
    return -1;
}

// The n characters from the start (fromEnd false) or the end of the text, n kept within the text.
CWString CWString::Slice(int n, bool fromEnd) const
{
    int length = Length();
    if (n < 0)
        n = 0;
    if (n > length)
        n = length;
    CWString result(n + 1);
    if (n > 0)
        CopyMemory(result.m_buffer, m_buffer + (fromEnd ? length - n : 0), sizeof(wchar_t) * n);
    return result;
}

bool CWString::StripLastPathComponent()
{
    if (m_buffer == nullptr)
        return false;
    if (m_buffer[0] == L'\0')
        return true;
    wchar_t* p = LastChar();
    for (;;)
    {
        if (p == m_buffer)
            break;
        wchar_t c = *p;
        *p = L'\0';
        if (c == L'\\')
            break;
        p = p > m_buffer ? p - 1 : p;
    }
    wchar_t* end = LastChar();
    if (*end == L'\\' || end == m_buffer)
        *end = L'\0';
    return true;
}

void WStringArrayFatal(const char* file, int line)
{
    // The build path of the source file has no bound of its own: the text is cut, never overrun.
    wchar_t text[512];
    _snwprintf(text, 511, L"Error in class CWStringArray\nApplication will be terminated\n%hs\n%d", file, line);
    text[511] = L'\0';
    FatalBox(nullptr, true, text, L"Error", MB_OK | MB_SYSTEMMODAL);
    EndProcessAbnormally();
}

#define ARRAY_FATAL() WStringArrayFatal(__FILE__, __LINE__)

CWStringArray::CWStringArray() : m_count(0), m_items(nullptr), m_blank(0)
{
}

CWStringArray::~CWStringArray()
{
    SetSize(0);
}

void CWStringArray::SetSize(int n)
{
    if (n < 0)
        ARRAY_FATAL();
    if (n == m_count)
        return;
    CWString* fresh = nullptr;
    if (n > 0)
    {
        fresh = static_cast<CWString*>(::operator new(sizeof(CWString) * n, std::nothrow));
        if (fresh == nullptr)
            ARRAY_FATAL();
        int kept = n < m_count ? n : m_count;
        for (int i = 0; i < kept; ++i)
            new (&fresh[i]) CWString(m_items[i]);
        for (int i = kept; i < n; ++i)
            new (&fresh[i]) CWString(m_blank);
    }
    for (int i = 0; i < m_count; ++i)
        m_items[i].~CWString();
    ::operator delete(m_items);
    m_items = fresh;
    m_count = n;
}

int CWStringArray::Add(const wchar_t* text, DWORD tag)
{
    SetSize(m_count + 1);
    CWString& item = m_items[m_count - 1];
    item = text != nullptr ? text : L"";
    item.SetTag(tag);
    return m_count - 1;
}

CWString CWStringArray::Get(int index) const
{
    if (index < 0 || index >= m_count)
        ARRAY_FATAL();
    return m_items[index];
}

DWORD CWStringArray::GetTag(int index) const
{
    if (index < 0 || index >= m_count)
        ARRAY_FATAL();
    return m_items[index].GetTag();
}

void CWStringArray::DestroyItem(int index)
{
    if (index < 0)
        ARRAY_FATAL();
    if (index >= m_count)
        return;
    m_items[index].~CWString();
    new (&m_items[index]) CWString(0);
}
