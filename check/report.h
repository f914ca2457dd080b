// The two shapes of the check's answer: a short report for a person, and one JSON object for programs.
#pragma once
#include "check/findings.h"
#include "check/output.h"
#include "check/state.h"

void WriteTextReport(COutput& out, const MachineState& state, const Findings& findings);
void WriteJsonReport(COutput& out, const MachineState& state, const Findings& findings);

// Shared by both: the words for a digest comparison and a version quad as text ("" when none).
const wchar_t* DigestText(DigestCheck check);
void VersionText(ULONGLONG version, wchar_t* out);
