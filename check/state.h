// Everything the check reads from the machine, in one record: the installer's locations, counts,
// product registrations, driver service, files with their versions and digests, pending restart
// operations of our files, leftovers, and whether an installer runs right now. Reading never writes:
// keys are opened KEY_READ in the 64-bit view, files with every sharing mode and read access only.
// What could not be read is a read error and never stands for an absence.
#pragma once
#include <windows.h>

#include <new>

#include "context/layout.h"
#include "usage/interrupted.h"
#include "usage/usagecount.h"

const int kStatePathChars = 300;   // no path of ours is longer; longer texts of others are cut for display

// A list that grows on the heap as the machine has entries: no fixed table hides a product or a
// pending operation. Items are plain records, zeroed when added; Add gives null without memory.
template <typename T>
class CStateList
{
public:
    CStateList() : m_items(nullptr), m_count(0), m_capacity(0) {}
    ~CStateList() { delete[] m_items; }
    T* Add()
    {
        if (m_count == m_capacity)
        {
            int capacity = m_capacity == 0 ? 16 : 2 * m_capacity;
            T* grown = new (std::nothrow) T[capacity];
            if (grown == nullptr)
                return nullptr;
            CopyMemory(grown, m_items, sizeof(T) * m_count);
            delete[] m_items;
            m_items = grown;
            m_capacity = capacity;
        }
        T* item = &m_items[m_count++];
        ZeroMemory(item, sizeof(T));
        return item;
    }
    int Count() const { return m_count; }
    T& operator[](int i) { return m_items[i]; }
    const T& operator[](int i) const { return m_items[i]; }

private:
    CStateList(const CStateList&) = delete;
    CStateList& operator=(const CStateList&) = delete;
    T* m_items;
    int m_count;
    int m_capacity;
};

enum CountState
{
    CountMissing,      // no value: nothing counted
    CountReadable,
    CountUnreadable    // there, but no number the installer could use (type, size or text)
};

struct CountReading
{
    const wchar_t* valueName;             // the value's name under SharedDlls: the file's full path
    CountState state;
    DWORD count;                          // when readable
    DWORD type;                           // registry type when the value is there
};

struct ProductReading
{
    wchar_t* appId;       // the whole name, owned by the state
    bool registered;      // SOFTWARE\Norvatek\Pellimar\<AppID>
    bool installedApps;   // a value of SOFTWARE\Norvatek\InstalledApps, of any length or type
    bool sharedUsage;     // a value of Software\Norvatek\SharedUsage\PELLIMAR64x86.SYS
    bool changing;        // its key holds a count change that a run began and has not finished
    CountChange change;
};

struct ServiceReading
{
    bool exists;
    bool configRead;          // the service manager answered with the configuration
    bool markedForDeletion;   // DeleteFlag in the service's key, as the service manager writes it
    DWORD type;
    DWORD start;
    DWORD errorControl;
    wchar_t imagePath[kStatePathChars];   // cut for display; compared whole
    bool imagePathMatches;    // names the drivers directory's image, in any of the forms Windows uses
    // ImagePath of the service's key: the service manager reads it at the next start of the machine.
    bool keyImagePathRead;
    wchar_t keyImagePath[kStatePathChars];
    bool keyImagePathMatches;
};

enum DigestCheck
{
    DigestNotApplicable,   // nothing vouches for this file (or the file is absent)
    DigestMatches,
    DigestMismatch,
    DigestNotListed,       // the catalogue has no member of this name
    DigestNoSource,        // the catalogue or manifest that should vouch is no catalogue or manifest
    DigestUnreadable       // the file, or what vouches for it, could not be read (a read error says which)
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
    wchar_t temporary[kStatePathChars];        // the ...1 name an install leaves for a replacement at restart
    wchar_t shortPath[kStatePathChars];        // 8.3 forms, while the file or temporary exists, read with
                                               // a pending list
    wchar_t shortTemporary[kStatePathChars];
    bool expected;          // installed on this system while products count it
    bool needed;            // a product that counts the driver needs it
    bool exists;
    bool directory;         // a directory stands where the file must be
    bool directoryLink;     // and is a link to one (a junction or symbolic link)
    bool unread;            // whether it exists could not be found out (a read error says why)
    bool temporaryExists;
    bool temporaryPending;  // a pending rename moves the temporary into place
    ULONGLONG size;
    ULONGLONG version;      // 0 when it has none
    DWORD readError;        // reading it for its digest failed with this
    DigestCheck catalogue;  // SYS and INF against the catalogue beside them
    DigestCheck manifest;   // SYS against PELLMAR.KVM, KVM against PELLMAR.GRD
    bool imageDigest;       // the catalogue's digest was the PE image digest, not the flat one
};

enum PendingKind
{
    PendingDeletes,     // the file (or its temporary) is deleted
    PendingMovesAway,   // the file (or its temporary) is renamed to another name: gone from its place
    PendingReplaces,    // its own temporary is renamed onto it
    PendingOverwrites   // another file is renamed onto it
};

// PendingFileRenameOperations and PendingFileRenameOperations2: the restart carries out both.
const int kPendingLists = 2;
extern const wchar_t* const kPendingValues[kPendingLists];

struct PendingReading
{
    const wchar_t* source;   // both point into the state's copy of the value
    const wchar_t* target;   // empty for a deletion
    int list;                // which of the two values holds it
    int file;                // FileIndex of the file it deletes, moves or replaces
    PendingKind kind;
    bool temporary;          // it is that file's temporary, not the file
    bool withdrawable;       // a deletion of the file under a form an install withdraws (its short or long path)
    bool unresolved;         // named as that file, at a path the check cannot follow as the restart will
};

struct ReadError
{
    wchar_t what[kStatePathChars];   // a copy: the names read are often built on the reader's stack
    DWORD code;
};

struct MachineState
{
    MachineState() = default;
    ~MachineState();

    bool vistaOrLater = false;
    bool installerRunning = false;              // another process holds Global\Pellimar_running
    // Where the installer puts everything: the driver the service must load, the shared copy the
    // uninstall entry must name, the payload directory TEMP.^^^, ...
    InstallLayout layout = {};
    bool payloadDirExists = false;
    bool payloadIsFile = false;                 // a file of that name: the installer cannot create its directory

    // Lists that could not be read (other than absent): no finding may rest on what they lack.
    bool countsUnread = false;                  // SharedDlls
    bool registrationsUnread = false;           // SOFTWARE\Norvatek\Pellimar
    bool installedAppsUnread = false;
    bool uninstallEntryUnread = false;
    bool serviceUnread = false;
    bool pendingUnread = false;
    CountReading mainCount = {};
    CountReading makerCount = {};               // counted before Vista; a leftover on later systems
    int registrations = 0;                      // subkeys of SOFTWARE\Norvatek\Pellimar that open
    int productsNotShown = 0;                   // no memory to keep them
    CStateList<ProductReading> products;

    ServiceReading service = {};
    bool uninstallEntryExists = false;
    bool uninstallEntryMatches = false;         // "<shared copy>" /U /Q
    wchar_t uninstallEntry[kStatePathChars] = {};

    FileReading files[kFileCount] = {};

    wchar_t* pendingValues[kPendingLists] = {}; // the two lists as read, terminated
    bool pendingListDamaged = false;            // not a string list, or strings that run past its end
    int pendingOtherEntries = 0;                // pairs that touch none of our files
    int pendingNotShown = 0;                    // no memory to keep them
    CStateList<PendingReading> pending;

    int readErrorsNotShown = 0;
    CStateList<ReadError> readErrors;

private:
    MachineState(const MachineState&) = delete;
    MachineState& operator=(const MachineState&) = delete;
};

// Fills the whole record. Reads that fail for another reason than absence land in readErrors.
void ReadMachineState(MachineState* state);
// How far a product's stopped count change came, by the counts as read.
ChangeProgress ChangeProgressOf(const MachineState& s, const CountChange& change);

// The parts of the record read in check/files.cpp (the files with their digests and leftovers; after the
// registry half, which gives their places) and check/pending.cpp (the pending restart operations that
// touch them; after the files, whose short names they use).
void ReadFiles(MachineState* state);
void ReadPendingOperations(MachineState* state);
void NoteReadError(MachineState* state, const wchar_t* what, DWORD code);

