// Forced removal of a registry key tree that refuses an ordinary delete: take ownership of every key,
// give our own user full access, then delete from the leaves up. Needs the take-ownership and
// restore privileges, which are switched on from Initialize() until the object is destroyed.
#pragma once
#include <windows.h>

namespace regkeykill_seam
{
// Test seam: the subkey enumeration goes through this pointer (RegEnumKeyExW unless a test replaces
// it). No real condition makes the enumeration of an open key fail on demand, so the bounded retry is
// reached through it.
typedef LONG(WINAPI* EnumKeyFn)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME);
extern EnumKeyFn EnumKey;
}  // namespace regkeykill_seam

class RegKeyKill
{
public:
    // How often the same enumeration question is asked again after an error other than the end
    // of the subkeys, before the key counts as failed.
    static const int kEnumRetries = 10;

    RegKeyKill();
    ~RegKeyKill();

    BOOL Initialize();
    // TRUE when root\keyPath and everything below it are gone. The thread's last error is set to the
    // code of the step that decided the outcome: 0 on success, 0xFFFFFFFF when a path overflowed.
    BOOL BlastKey(BOOL retry, HKEY root, const wchar_t* keyPath);

private:
    RegKeyKill(const RegKeyKill&) = delete;
    RegKeyKill& operator=(const RegKeyKill&) = delete;

    DWORD GiveSelfFullPermissionToRegKey(HKEY root, const wchar_t* keyPath);
    BOOL DeleteTree(BOOL retry, HKEY root, const wchar_t* keyPath, DWORD* error);

    BOOL m_initialised;
    HANDLE m_token;
    PACL m_pDACL;
    PTOKEN_USER m_ptiUser;
    SECURITY_DESCRIPTOR m_sd;
};
