// The program's global allocation functions go straight to the process heap. The C++ runtime's own
// versions would throw std::bad_alloc and drag in its whole exception machinery, which this program,
// built without exceptions, never uses.
#include "base/alloc.h"

#include <windows.h>

int alloc_seam::FailNth = 0;

bool alloc_seam::ShouldFail()
{
    if (FailNth <= 0)
        return false;
    return --FailNth == 0;
}

wchar_t* CopyText(const wchar_t* text)
{
    if (text == nullptr || alloc_seam::ShouldFail())
        return nullptr;
    int length = lstrlenW(text);
    wchar_t* copy = new (std::nothrow) wchar_t[length + 1];
    if (copy != nullptr)
        lstrcpyW(copy, text);
    return copy;
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
}

void* operator new(size_t size)
{
    void* p = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (p == nullptr)
        RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return p;
}

void* operator new[](size_t size)
{
    return operator new(size);
}

void operator delete(void* p) noexcept
{
    if (p != nullptr)
        HeapFree(GetProcessHeap(), 0, p);
}

void operator delete[](void* p) noexcept
{
    operator delete(p);
}

void operator delete(void* p, size_t) noexcept
{
    operator delete(p);
}

void operator delete[](void* p, size_t) noexcept
{
    operator delete(p);
}
