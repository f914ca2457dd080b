// Scoped owner of one platform handle: a template over the function that closes it.
// No base class and no virtuals; the holder closes what it owns when it goes out of scope.
#pragma once
#include <windows.h>

template <typename T, typename R, R(WINAPI* CloseFn)(T)>
class CScoped
{
public:
    CScoped() : m_h(nullptr) {}
    explicit CScoped(T h) : m_h(h) {}
    ~CScoped() { Reset(); }

    // Both null and INVALID_HANDLE_VALUE mean "nothing held": CreateFileW and FindFirstFileW use the
    // latter, everything else the former.
    bool IsValid() const { return m_h != nullptr && m_h != reinterpret_cast<T>(INVALID_HANDLE_VALUE); }
    T Get() const { return m_h; }
    T* Receive() { Reset(); return &m_h; }   // for the out-parameter of an open call
    T Release() { T h = m_h; m_h = nullptr; return h; }
    void Reset(T h = nullptr)
    {
        if (IsValid())
            CloseFn(m_h);
        m_h = h;
    }

private:
    CScoped(const CScoped&) = delete;
    CScoped& operator=(const CScoped&) = delete;
    T m_h;
};

typedef CScoped<HANDLE, BOOL, ::CloseHandle> CScopedHandle;
typedef CScoped<HANDLE, BOOL, ::FindClose> CScopedFind;
typedef CScoped<HKEY, LONG, ::RegCloseKey> CScopedKey;
typedef CScoped<SC_HANDLE, BOOL, ::CloseServiceHandle> CScopedService;
