// The host's records to the checker, down its pipe, one line each: the
// bottom of the host, which every part of it reports through.
#pragma once

#include "checks.h"

#include <string>

// Where the records go, for the host's life.
void StartSending(HANDLE report);
// The second run, the one that only counts: its steps are sent, its
// results are not. The sender is the one that knows which run this is.
void StartSecondRun(bool started);
bool InSecondRun();

void Step(const std::string &entry, Check check, DWORD limitMs);
void Result(const std::string &entry, Check check, Verdict verdict, const long long *value, const char *format, ...);
void Pass(const std::string &entry, Check check, long long value, const char *detail = "");
void SendCrash(const std::string &detail);
void SendUnloadable(const std::string &detail);
void SendDone();
