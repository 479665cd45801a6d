// When the shell cannot run: the user's record of the log-on, and the
// shell the user had before, started in its stead.
#pragma once

#include "Registration.h"

#include <windows.h>

#include <string>

struct Record {
    std::wstring what;       // the sentence the notice shows
    std::wstring fault;      // "modcore.dll+0x1234", from the dump
    std::wstring dump;
    std::wstring started;    // the previous shell that runs now
    std::wstring notStarted; // those tried before it, and why each failed
    DWORD exitCode = 0;
    DWORD launches = 0;
};

// The user's own record of this log-on, for shellctl status. Best effort:
// nothing here may keep the user from a shell.
void WriteRecord(const registration::Installation &installation, const Record &record);

// Starts the shell the user had, first, so that nothing the user does not
// answer holds it; then records and says what happened.
void FallBack(const registration::Installation &installation, Record record);
