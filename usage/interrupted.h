// Count changes that a run left unfinished: a setup killed by a deployment tool's time-out, a machine that
// went down. Each run settles them before it decides anything about the counts, from what the counts say
// now: a change whose counts all show their value after it is finished (the product registered, or its
// registration gone), one whose counts all show their value before it is withdrawn, one half done is
// completed. A change whose run is still alive is another run at work and is left to it; one whose counts
// show neither value cannot be told and is left for a person to look at (the state check names it).
#pragma once
#include <windows.h>

#include "usage/usagecount.h"

enum class OwnChange
{
    None,        // the product has no unfinished change (any it had is settled now)
    Released,    // its uninstall had released its use and stopped before it was done; the change stays
                 // in its key for this uninstall to finish what it owed
    Busy,        // another run of the same product is changing its counts right now
    Unknown      // the counts changed since its run stopped: whether it changed them cannot be told
};

// How far a change came, told from the counts as they are now (kNoCount: no value).
enum class ChangeProgress
{
    Before,   // every count it changes still shows its value before the change
    After,    // every one shows its value after it
    Partly,   // some the one, some the other: the run stopped between two counts
    Neither   // a count shows neither: another run has changed it since
};
ChangeProgress ProgressOf(const CountChange& change, DWORD mainNow, DWORD makerNow);
// Whether the product still holds a use of the driver once its stopped change is settled as it stands.
inline bool HoldsUse(const CountChange& change, ChangeProgress progress)
{
    return change.release ? progress == ChangeProgress::Before : progress != ChangeProgress::Before;
}

// Whether the run that began change is still running.
BOOL IsChangeOwnerAlive(const CountChange& change);

// Settles every product's unfinished change. For appId's own (empty: none) the answer says what is left;
// when this run is its uninstall, a release that was done is left in place for it. Logs each change.
OwnChange SettleCountChanges(const wchar_t* appId, BOOL uninstall);
