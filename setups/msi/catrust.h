// Whether TovrandCA.dll may start a copy of the installer as LocalSystem. A standard user may start the
// repair of a per-machine product, and the repair's deferred actions run the product's copy as
// LocalSystem: a copy that the user could have replaced would run whatever they put there. So a copy is
// started only when nobody but the administrators, the system (and the account this action runs as) can
// change it or rename it out of its folder, or when it carries a valid Authenticode signature by the
// signer of this DLL itself.
#pragma once
#include <windows.h>

enum CopyTrust
{
    kTrustedByAccess,      // only administrators and the system may change the file and its folder
    kTrustedBySignature,   // others may, but the file is signed by this DLL's own signer
    kUntrusted,
};

// file: the copy opened with READ_CONTROL and without write or delete sharing (so that what is checked
// stays what is started); folder: its folder, opened the same way with FILE_FLAG_BACKUP_SEMANTICS.
CopyTrust TrustOfCopy(const wchar_t* path, HANDLE file, HANDLE folder);

// Opens path for the check and the start: readable, not writable nor deletable by anybody while held.
HANDLE OpenCopyForStart(const wchar_t* path);
// Opens the folder that holds path the same way; INVALID_HANDLE_VALUE when path has no folder part.
HANDLE OpenFolderOf(const wchar_t* path);
