// The host process's records to the checker, one line each, fields separated
// by tabs; one encoder and one decoder, used by both ends.
//   S entry check limit-ms              a step that may hang begins
//   R entry check verdict value detail  a result
//   C detail                            the host crashed
//   L detail                            the library cannot be loaded
//   E                                   the host is done
// The entry is "-" for the whole library, the value "-" for none.
#pragma once

#include "checks.h"

#include <string>

enum class RecordKind : char {
    Step = 'S',
    Result = 'R',
    Crash = 'C',
    Unloadable = 'L',
    Done = 'E',
};

struct Record {
    RecordKind kind = RecordKind::Done;
    CheckResult result; // Step: entry and check; Result: all of it
    DWORD limitMs = 0;  // Step
    std::string detail; // Crash and Unloadable
};

// The record as one line, ending in a line feed; tabs and line breaks in its
// texts become blanks, and a long detail is cut.
std::string Encode(const Record &record);

// The record of one line (without its line feed); false for anything else.
bool Decode(const std::string &line, Record &record);
