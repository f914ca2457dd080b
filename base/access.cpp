#include "base/access.h"

#include <aclapi.h>
#include <sddl.h>

#include "base/files.h"
#include "base/log.h"
#include "base/ownlog.h"

namespace
{
// The usual grants of Program Files, made explicit and protected, so that a folder of ours does not
// depend on what its parent hands down.
const wchar_t kAdminFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// What lets a holder put, replace or remove a file in the folder, or take the folder over.
const ACCESS_MASK kChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                  FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                  GENERIC_ALL;

// Whether an allowing entry of the list lets somebody untrusted change the folder itself. Entries that
// are only handed down (INHERIT_ONLY_ACE) do not apply to the folder.
bool LetsOthersChange(const ACL* dacl)
{
    // No list at all lets everybody do everything.
    if (dacl == nullptr)
        return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        void* entry = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), i, &entry))
            return true;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & kChangeRights) != 0 && !IsWellKnownSid(sid, WinCreatorOwnerSid) &&
            !own_log::IsTrustedOwner(sid))
            return true;
    }
    return false;
}

// The access list of ours, for creating or resetting a folder; null when it cannot be built (freed
// with LocalFree).
PSECURITY_DESCRIPTOR AdminFolderDescriptor()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminFolderAccess, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    return descriptor;
}
}  // namespace

BOOL CreateAdminFolder(const wchar_t* path)
{
    SECURITY_ATTRIBUTES access = {sizeof(access), AdminFolderDescriptor(), FALSE};
    if (access.lpSecurityDescriptor == nullptr)
        return FALSE;
    BOOL made = CreateDirectoryW(path, &access);
    DWORD error = GetLastError();
    LocalFree(access.lpSecurityDescriptor);
    SetLastError(error);
    return made;
}

BOOL SecureExistingFolder(const wchar_t* path)
{
    if (path == nullptr || !IsExistingDirectory(path))
        return TRUE;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    DWORD rc = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                     nullptr, &current);
    if (rc == ERROR_SUCCESS)
    {
        bool others = LetsOthersChange(dacl);
        LocalFree(current);
        if (!others)
            return TRUE;
        LogEvent("  %s can be changed by others than administrators, resetting its access list.", path);
        PSECURITY_DESCRIPTOR ours = AdminFolderDescriptor();
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL ourDacl = nullptr;
        rc = ours != nullptr && GetSecurityDescriptorDacl(ours, &present, &ourDacl, &defaulted)
                 ? SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, ourDacl, nullptr)
                 : GetLastError();
        LocalFree(ours);
        if (rc == ERROR_SUCCESS)
            return TRUE;
    }
    LogEvent("  Error - the access list of %s cannot be made safe (%d).", path, static_cast<int>(rc));
    return FALSE;
}
