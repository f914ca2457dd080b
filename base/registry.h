// One place in the registry: a root, a subkey path and a value name. Either opened explicitly and
// kept open, or left closed, in which case each operation opens the key for itself and closes it.
// Results are the platform's registry codes (0 = success). Always the native 64-bit view.
#pragma once
#include <windows.h>

namespace registry_seam
{
// Test seam: the next n recursive key deletions fail with ERROR_ACCESS_DENIED, as they do on Windows
// for a key whose access list refuses deletion. Wine does not enforce key access lists, so the forced
// removal that follows such a failure cannot be reached there otherwise.
extern int FailRecursiveDeletes;
}  // namespace registry_seam

class CRegistryEntry
{
public:
    CRegistryEntry(HKEY root, const wchar_t* subKey, const wchar_t* valueName);
    ~CRegistryEntry();

    void Reset(HKEY root, const wchar_t* subKey, const wchar_t* valueName);
    LONG Open(REGSAM access);
    LONG Create(REGSAM access);
    void Close();
    bool IsOpen() const { return m_open != 0; }

    LONG QueryValue(DWORD* type, void* data, DWORD* size);
    LONG QueryValueSize(DWORD* type, DWORD* size);
    LONG SetValue(DWORD type, const void* data, DWORD size);
    LONG DeleteValue();
    int GetSubKeyCount();
    // Deletes the key (with everything below it when recursive). TRUE on success; after a failed
    // recursive delete the platform code is the thread's last error.
    BOOL DeleteKey(BOOL recursive);

private:
    CRegistryEntry(const CRegistryEntry&) = delete;
    CRegistryEntry& operator=(const CRegistryEntry&) = delete;

    enum class TempOpen { Read, Write, CreateWrite };
    bool BeginUse(TempOpen how);
    void EndUse(bool openedHere);
    int QueryInfoCount(bool subKeys);

    HKEY m_root;
    HKEY m_key;
    int m_open;
    wchar_t* m_subKey;
    wchar_t* m_valueName;
    bool m_nameLost;   // a value name was given but could not be copied
    LONG m_useError;   // why the last operation found no key to work on: the open's own code
};
