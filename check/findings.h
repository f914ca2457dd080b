// What the machine state means: findings with stable ids (what will go wrong, and the command that fixes
// it), informational notes, the verdict and the exit code.
#pragma once
#include <windows.h>

#include "check/state.h"

enum Severity
{
    SeverityWarning,
    SeverityError
};

const int kFindingChars = 720;
const int kMaxNotes = 6;

struct Finding
{
    const wchar_t* id;
    Severity severity;
    wchar_t message[kFindingChars];
    wchar_t fix[kFindingChars];
};

struct Findings
{
    int notShown = 0;   // no memory to keep them; still counted below
    int errors = 0;
    int warnings = 0;
    CStateList<Finding> items;
    int noteCount = 0;
    wchar_t notes[kMaxNotes][kFindingChars] = {};
};

// Exit codes.
const int kCheckOk = 0;
const int kCheckWarnings = 1;
const int kCheckErrors = 2;
const int kCheckUnreadable = 3;   // part of the state could not be read (or the command line was wrong)

void EvaluateFindings(const MachineState& state, Findings* out);
// "ok", "warning" or "error".
const wchar_t* VerdictOf(const Findings& findings);
int ExitCodeOf(const MachineState& state, const Findings& findings);
