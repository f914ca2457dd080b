// Everything the check reads from the machine, in one plain record: the installer's locations, counts,
// product registrations, driver service, files with their versions and digests, pending restart
// operations of our files, leftovers, and whether an installer runs right now. Reading never writes:
// keys are opened KEY_READ in the 64-bit view, files with every sharing mode and read access only.
#pragma once
#include <windows.h>

const int kStatePathChars = 300;
const int kStateNameChars = 64;   // product ids; longer names of other programs' entries are cut
const int kMaxProducts = 64;
const int kMaxPendingOfOurs = 24;
const int kMaxReadErrors = 8;

enum CountState
{
    CountMissing,      // no value: nothing counted
    CountReadable,
    CountUnreadable    // there, but no number the installer could use (type, size or text)
};

struct CountReading
{
    wchar_t valueName[kStatePathChars];   // the value's name under SharedDlls: the file's full path
    CountState state;
    DWORD count;                          // when readable
    DWORD type;                           // registry type when the value is there
};

struct ProductReading
{
    wchar_t appId[kStateNameChars];
    bool nameCut;
    bool registered;      // SOFTWARE\Norvatek\Pellimar\<AppID>
    bool installedApps;   // a value of SOFTWARE\Norvatek\InstalledApps
    bool sharedUsage;     // a value of Software\Norvatek\SharedUsage\PELLIMAR64x86.SYS
};

struct ServiceReading
{
    bool exists;
    bool markedForDeletion;   // DeleteFlag in the service's key, as the service manager writes it
    DWORD type;
    DWORD start;
    DWORD errorControl;
    wchar_t imagePath[kStatePathChars];
    bool imagePathMatches;    // names the drivers directory's image, in any of the forms Windows uses
};

enum DigestCheck
{
    DigestNotApplicable,   // nothing vouches for this file (or the file is absent)
    DigestMatches,
    DigestMismatch,
    DigestNotListed,       // the catalogue has no member of this name
    DigestNoSource,        // the catalogue or manifest that should vouch is missing or unreadable
    DigestUnreadable       // the file itself could not be read
};

// The files of ours that the check looks at; kFile* index them.
enum FileIndex
{
    kFileSys,            // drivers directory
    kFileInf,
    kFileCat,
    kFileKvm,            // KVManifests
    kFileGrd,
    kFileSig,
    kFileInstaller,      // the shared copy of TOVRAND64x86.EXE
    kFileMakerSys,       // Program Files\Norvatek, before Windows Vista
    kFileMakerInf,
    kFileMakerCat,
    kFileQzReg,          // the updater registration program, normally deleted at the end of a run
    kFileCount
};

struct FileReading
{
    const wchar_t* name;
    wchar_t path[kStatePathChars];
    wchar_t temporary[kStatePathChars];   // the ...1 name an install leaves for a replacement at restart
    bool expected;          // installed on this system while products count it
    bool needed;            // a product that counts the driver needs it
    bool exists;
    bool temporaryExists;
    bool temporaryPending;  // a pending rename moves the temporary into place
    ULONGLONG size;
    ULONGLONG version;      // 0 when it has none
    DWORD readError;        // reading it for its digest failed with this
    DigestCheck catalogue;  // SYS and INF against the catalogue beside them
    DigestCheck manifest;   // SYS against PELLMAR.KVM, KVM against PELLMAR.GRD
    bool imageDigest;       // the catalogue's digest was the PE image digest, not the flat one
};

struct PendingReading
{
    wchar_t source[kStatePathChars];
    wchar_t target[kStatePathChars];   // empty: a deletion
    int file;                          // FileIndex of the file it deletes or replaces
    bool temporary;                    // the source is that file's temporary
};

struct ReadError
{
    wchar_t what[kStatePathChars];   // a copy: the names read are often built on the reader's stack
    DWORD code;
};

struct MachineState
{
    bool vistaOrLater;
    bool installerRunning;          // another process holds Global\Pellimar_running
    wchar_t driversDir[kStatePathChars];
    wchar_t makerDir[kStatePathChars];
    wchar_t sharedDir[kStatePathChars];
    wchar_t manifestsDir[kStatePathChars];
    wchar_t payloadDir[kStatePathChars];   // TEMP.^^^
    bool payloadDirExists;

    bool countsUnread;               // SharedDlls could not be opened (other than absent)
    bool registrationsUnread;        // the same for SOFTWARE\Norvatek\Pellimar
    CountReading mainCount;
    CountReading makerCount;         // read before Vista only
    int registrations;               // subkeys of SOFTWARE\Norvatek\Pellimar
    int productCount;
    int productsNotShown;
    ProductReading products[kMaxProducts];

    ServiceReading service;
    bool uninstallEntryExists;
    bool uninstallEntryMatches;      // "<shared copy>" /U /Q
    wchar_t uninstallEntry[kStatePathChars];

    FileReading files[kFileCount];

    bool pendingListDamaged;         // not a string list, or strings that run past its end
    int pendingOtherEntries;         // pairs that touch none of our files
    int pendingCount;
    int pendingNotShown;
    PendingReading pending[kMaxPendingOfOurs];

    int readErrorCount;
    ReadError readErrors[kMaxReadErrors];
};

// Fills the whole record. Reads that fail for another reason than absence land in readErrors.
void ReadMachineState(MachineState* state);

// Both parts of the record that live in check/files.cpp: the files with their digests and leftovers,
// and the pending restart operations that touch them.
void ReadFiles(MachineState* state);
void ReadPendingOperations(MachineState* state);
void NoteReadError(MachineState* state, const wchar_t* what, DWORD code);

// Copies text into a buffer of capacity characters, cut when longer. Returns whether it was cut.
bool CopyText(wchar_t* out, int capacity, const wchar_t* text);
