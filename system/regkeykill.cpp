#include "system/regkeykill.h"

#include <aclapi.h>
#include <new>

#include "base/handle.h"
#include "base/files.h"
#include "base/log.h"

regkeykill_seam::EnumKeyFn regkeykill_seam::EnumKey = ::RegEnumKeyExW;

namespace
{
const wchar_t kTakeOwnership[] = L"SeTakeOwnershipPrivilege";
const wchar_t kRestore[] = L"SeRestorePrivilege";
// Wine resolves only the upper-case spelling of the root in a security-object name.
const wchar_t kMachinePrefix[] = L"MACHINE\\";
const int kMachinePrefixChars = 8;
// Security-object names and subkey paths are held in 260 characters, subkey names in another 260.
const int kNameChars = kPathChars;
// The access list's header and one access-allowed entry without the identifier it ends with.
const DWORD kAclOverhead = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
const DWORD kPathOverflow = static_cast<DWORD>(-1);

// Raw buffers of the token information and the access list.
BYTE* AllocateBytes(DWORD size)
{
    return new (std::nothrow) BYTE[size];
}

BOOL SetPrivilege(HANDLE token, const wchar_t* name, BOOL enable)
{
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to LookupPrivilegeValue for %s. GetLastError(%d)", name, static_cast<int>(error));
        return FALSE;
    }
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to AdjustTokenPrivileges. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }
    // The call succeeds even when the token does not hold the privilege at all; only the last
    // error (ERROR_NOT_ALL_ASSIGNED) tells.
    DWORD result = GetLastError();
    if (result != ERROR_SUCCESS)
    {
        LogEvent("  Failed to AdjustTokenPrivileges even though it returned TRUE. Result:%d", static_cast<int>(result));
        return FALSE;
    }
    return TRUE;
}
}  // namespace

RegKeyKill::RegKeyKill() : m_initialised(FALSE), m_token(nullptr), m_pDACL(nullptr), m_ptiUser(nullptr), m_sd()
{
}

RegKeyKill::~RegKeyKill()
{
    // Also after a failed Initialize: the lines then say which privilege was never on.
    if (!SetPrivilege(m_token, kRestore, FALSE))
        LogEvent("  Could not unset %s privilege.", kRestore);
    if (!SetPrivilege(m_token, kTakeOwnership, FALSE))
        LogEvent("  Could not unset %s privilege.", kTakeOwnership);
    if (m_token != nullptr)
        CloseHandle(m_token);
    delete[] reinterpret_cast<BYTE*>(m_pDACL);
    delete[] reinterpret_cast<BYTE*>(m_ptiUser);
    m_token = nullptr;
    m_pDACL = nullptr;
    m_ptiUser = nullptr;
    m_initialised = FALSE;
}

BOOL RegKeyKill::Initialize()
{
    if (m_initialised)
        return TRUE;

    if (m_token != nullptr)
        CloseHandle(m_token);
    m_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &m_token))
    {
        m_token = nullptr;
        DWORD error = GetLastError();
        LogEvent("  Failed to OpenProcessToken with TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY privileges. GetLastError(%d)",
                 static_cast<int>(error));
        return FALSE;
    }

    DWORD size = 0;
    if (!GetTokenInformation(m_token, TokenUser, nullptr, 0, &size) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to GetTokenInformation. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }
    delete[] reinterpret_cast<BYTE*>(m_ptiUser);
    m_ptiUser = reinterpret_cast<PTOKEN_USER>(AllocateBytes(size));
    if (m_ptiUser == nullptr)
    {
        LogEvent("  Failed to allocate memory for m_ptiUser.");
        return FALSE;
    }
    if (!GetTokenInformation(m_token, TokenUser, m_ptiUser, size, &size))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to GetTokenInformation. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }
    PSID user = m_ptiUser->User.Sid;

    if (!SetPrivilege(m_token, kTakeOwnership, TRUE))
    {
        LogEvent("  Could not set %s privilege.", kTakeOwnership);
        return FALSE;
    }
    if (!SetPrivilege(m_token, kRestore, TRUE))
    {
        LogEvent("  Could not set %s privilege.", kRestore);
        return FALSE;
    }

    if (!InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to InitializeSecurityDescriptor. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }
    if (!SetSecurityDescriptorOwner(&m_sd, user, FALSE))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to SetSecurityDescriptorOwner. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }

    DWORD aclSize = GetLengthSid(user) + kAclOverhead;
    delete[] reinterpret_cast<BYTE*>(m_pDACL);
    m_pDACL = reinterpret_cast<PACL>(AllocateBytes(aclSize));
    if (m_pDACL == nullptr)
    {
        LogEvent("  Failed to allocate memory for m_pDACL.");
        return FALSE;
    }
    if (!InitializeAcl(m_pDACL, aclSize, ACL_REVISION))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to InitializeAcl. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }
    if (!AddAccessAllowedAce(m_pDACL, ACL_REVISION, KEY_ALL_ACCESS, user))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to AddAccessAllowedAce. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }
    if (!SetSecurityDescriptorDacl(&m_sd, TRUE, m_pDACL, FALSE))
    {
        DWORD error = GetLastError();
        LogEvent("  Failed to SetSecurityDescriptorDacl. GetLastError(%d)", static_cast<int>(error));
        return FALSE;
    }

    m_initialised = TRUE;
    return TRUE;
}

BOOL RegKeyKill::BlastKey(BOOL retry, HKEY root, const wchar_t* keyPath)
{
    if (!m_initialised)
    {
        LogEvent("  RegKeyKill::BlastKey was called without calling Initialize() first.");
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    if (keyPath == nullptr || keyPath[0] == L'\0')
    {
        LogEvent("  GiveSelfFullPermissionToRegKey was called with empty szKey");
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }

    LogEvent("  Proccessing regkey: %s", keyPath);
    DWORD error = GiveSelfFullPermissionToRegKey(root, keyPath);
    BOOL deleted = FALSE;
    if (error == ERROR_SUCCESS)
        deleted = DeleteTree(retry, root, keyPath, &error);
    SetLastError(error);
    return deleted;
}

// Takes ownership of the key, then replaces its owner and access list with our own user holding full
// access. Ownership comes first: without it the key's current access list may deny WRITE_DAC.
DWORD RegKeyKill::GiveSelfFullPermissionToRegKey(HKEY root, const wchar_t* keyPath)
{
    // A path that does not fit leaves the name empty, which the platform refuses below.
    wchar_t objectName[kPathChars];
    objectName[0] = L'\0';
    if (kMachinePrefixChars + lstrlenW(keyPath) < kPathChars)
    {
        lstrcpyW(objectName, kMachinePrefix);
        lstrcatW(objectName, keyPath);
    }
    LogEvent("    Literal Key: %s", objectName);

    DWORD error = SetNamedSecurityInfoW(objectName, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, m_ptiUser->User.Sid,
                                        nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS)
    {
        LogEvent("    Failed (%d) to SetNamedSecurityInfo for %s", static_cast<int>(error), objectName);
        return error;
    }

    CScopedKey key;
    LONG rc = RegOpenKeyExW(root, keyPath, 0, WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, key.Receive());
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("    Failed (%d) to RegOpenKeyEx with WRITE_DAC | WRITE_OWNER privileges: %s", static_cast<int>(rc),
                 keyPath);
        return static_cast<DWORD>(rc);
    }
    rc = RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &m_sd);
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("    Failed (%d) to RegSetKeySecurity with DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION "
                 "privileges: %s",
                 static_cast<int>(rc), keyPath);
        return static_cast<DWORD>(rc);
    }
    return ERROR_SUCCESS;
}

// Deletes the subkeys depth first, then the key itself. Every subkey found is deleted before the next
// question, so index 0 always names one that is left.
BOOL RegKeyKill::DeleteTree(BOOL retry, HKEY root, const wchar_t* keyPath, DWORD* error)
{
    CScopedKey key;
    LONG rc = RegOpenKeyExW(root, keyPath, 0, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY, key.Receive());
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("    Failed (%d) to RegOpenKeyEx with KEY_ENUMERATE_SUB_KEYS | DELETE privileges: %s",
                 static_cast<int>(rc), keyPath);
        *error = static_cast<DWORD>(rc);
        return FALSE;
    }

    int attempts = 0;
    for (;;)
    {
        wchar_t name[kNameChars];
        DWORD nameChars = kNameChars;
        rc = regkeykill_seam::EnumKey(key.Get(), 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS)
        {
            attempts = 0;
            int pathChars = lstrlenW(keyPath);
            if (pathChars + 1 + static_cast<int>(nameChars) >= kPathChars)
            {
                LogEvent("    Buffer overflow in registry path!  Bailing out.");
                *error = kPathOverflow;
                return FALSE;
            }
            wchar_t subPath[kPathChars];
            lstrcpyW(subPath, keyPath);
            subPath[pathChars] = L'\\';
            lstrcpyW(subPath + pathChars + 1, name);
            if (!BlastKey(retry, root, subPath))
            {
                *error = GetLastError();
                return FALSE;
            }
            continue;
        }

        if (rc == ERROR_NO_MORE_ITEMS)
        {
            rc = RegDeleteKeyW(key.Get(), L"");
            if (rc != ERROR_SUCCESS)
            {
                LogEvent("    Failed (%d) to RegDeleteKey: %s", static_cast<int>(rc), keyPath);
                *error = static_cast<DWORD>(rc);
                return FALSE;
            }
            LogEvent("    Successfully updated permissions and blasted regkey: %s", keyPath);
            *error = ERROR_SUCCESS;
            return TRUE;
        }

        // Any other answer: ask the same question again, but not forever. A key that another
        // process deleted under our open handle answers ERROR_KEY_DELETED to every question.
        ++attempts;
        if (!retry || attempts > kEnumRetries)
        {
            LogEvent("    Failed (%d) to RegEnumKeyEx on attempt %d, giving up on regkey: %s", static_cast<int>(rc), attempts,
                     keyPath);
            *error = static_cast<DWORD>(rc);
            return FALSE;
        }
    }
}
