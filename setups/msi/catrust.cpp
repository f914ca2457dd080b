#include "setups/msi/catrust.h"

#include <aclapi.h>
#include <sddl.h>
#include <softpub.h>
#include <wintrust.h>

#include <new>

#include "base/files.h"
#include "base/handle.h"
#include "base/sysdll.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace
{
// Every right that changes a file's content, attributes, name or access list, or a folder's entries.
const ACCESS_MASK kChangeRights = GENERIC_ALL | GENERIC_WRITE | MAXIMUM_ALLOWED | WRITE_DAC | WRITE_OWNER | DELETE |
                                  FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  FILE_DELETE_CHILD;
const wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The account this action runs as: LocalSystem for a deferred action without impersonation on Windows,
// the one user under Wine. Trusting it grants nobody more than the action itself has.
bool IsOwnAccount(PSID sid)
{
    CScopedHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()))
        return false;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

bool IsTrustedSid(PSID sid)
{
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsOwnAccount(sid))
        return true;
    PSID installer = nullptr;
    bool trusted = ConvertStringSidToSidW(kTrustedInstallerSid, &installer) && EqualSid(sid, installer);
    LocalFree(installer);
    return trusted;
}

// Whether only trusted accounts may change the object: its owner (who may always rewrite the access list)
// and every allowing entry that carries a change right. A missing (NULL) access list allows everybody.
bool OnlyTrustedMayChange(HANDLE object)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    bool trusted = owner != nullptr && dacl != nullptr && IsTrustedSid(owner);
    for (DWORD i = 0; trusted && i < dacl->AceCount; ++i)
    {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)))
            trusted = false;
        else if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE ||
                 header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE)
            continue;
        else if ((reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask & kChangeRights) == 0)
            continue;
        // Object and other entry kinds keep their account elsewhere: one that allows a change is not read.
        else if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            trusted = false;
        else
            trusted = IsTrustedSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart);
    }
    LocalFree(sd);
    return trusted;
}

typedef LONG(WINAPI* WinVerifyTrustFn)(HWND, GUID*, LPVOID);
typedef CRYPT_PROVIDER_DATA*(WINAPI* ProvDataFn)(HANDLE);
typedef CRYPT_PROVIDER_SGNR*(WINAPI* ProvSignerFn)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);

// The encoded certificate of the signer of a file whose Authenticode signature verifies, in a new[]
// buffer the caller deletes; null when it has none, it does not verify, or wintrust cannot be had.
BYTE* VerifiedSigner(HANDLE file, const wchar_t* path, DWORD* size)
{
    HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
    if (wintrust == nullptr)
        return nullptr;
    WinVerifyTrustFn verify = reinterpret_cast<WinVerifyTrustFn>(GetProcAddress(wintrust, "WinVerifyTrust"));
    ProvDataFn provData = reinterpret_cast<ProvDataFn>(GetProcAddress(wintrust, "WTHelperProvDataFromStateData"));
    ProvSignerFn provSigner = reinterpret_cast<ProvSignerFn>(GetProcAddress(wintrust, "WTHelperGetProvSignerFromChain"));
    BYTE* der = nullptr;
    if (verify != nullptr && provData != nullptr && provSigner != nullptr)
    {
        WINTRUST_FILE_INFO fileInfo = {};
        fileInfo.cbStruct = sizeof(fileInfo);
        fileInfo.pcwszFilePath = path;
        fileInfo.hFile = file;
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        if (verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == ERROR_SUCCESS)
        {
            CRYPT_PROVIDER_DATA* provider = provData(data.hWVTStateData);
            CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? provSigner(provider, 0, FALSE, 0) : nullptr;
            PCCERT_CONTEXT cert = signer != nullptr && signer->csCertChain > 0 ? signer->pasCertChain[0].pCert : nullptr;
            if (cert != nullptr && (der = new (std::nothrow) BYTE[cert->cbCertEncoded]) != nullptr)
            {
                CopyMemory(der, cert->pbCertEncoded, cert->cbCertEncoded);
                *size = cert->cbCertEncoded;
            }
        }
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    FreeLibrary(wintrust);
    return der;
}

bool IsSignedByOwnSigner(const wchar_t* path, HANDLE file)
{
    wchar_t own[kFullPathChars];
    DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), own, kFullPathChars);
    if (n == 0 || n >= kFullPathChars)
        return false;
    CScopedHandle ownFile(CreateFileW(own, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD ownSize = 0, size = 0;
    BYTE* ownSigner = ownFile.IsValid() ? VerifiedSigner(ownFile.Get(), own, &ownSize) : nullptr;
    BYTE* signer = ownSigner != nullptr ? VerifiedSigner(file, path, &size) : nullptr;
    bool same = signer != nullptr && size == ownSize && memcmp(signer, ownSigner, size) == 0;
    delete[] signer;
    delete[] ownSigner;
    return same;
}
}  // namespace

CopyTrust TrustOfCopy(const wchar_t* path, HANDLE file, HANDLE folder)
{
    if (OnlyTrustedMayChange(file) && folder != INVALID_HANDLE_VALUE && OnlyTrustedMayChange(folder))
        return kTrustedByAccess;
    return IsSignedByOwnSigner(path, file) ? kTrustedBySignature : kUntrusted;
}

HANDLE OpenCopyForStart(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenFolderOf(const wchar_t* path)
{
    wchar_t folder[kFullPathChars];
    const wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr || slash - path >= kFullPathChars - 1)
        return INVALID_HANDLE_VALUE;
    lstrcpynW(folder, path, static_cast<int>(slash - path) + 1);
    // The root keeps its backslash: "C:" alone is the drive's current directory.
    if (slash - path == 2 && folder[1] == L':')
        lstrcatW(folder, L"\\");
    return CreateFileW(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}
