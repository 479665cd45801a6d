// The watcher's boxes, which close by themselves when what they ask about is
// settled. user32.dll is loaded only once a box is to show: loaded with the
// watcher, it would add its start-up to every log-on's.
#pragma once

#include <windows.h>

#include <string>

constexpr int kDismissed = 0x7FFF; // a box ended by the watcher, not by the user

// What ends the box that shows: any of the handles signalled, or the time up.
struct BoxEnd {
    HANDLE handles[2] = {};
    DWORD count = 0;
    DWORD limitMs = INFINITE;
};

// A system-modal box with no owner; kDismissed when `end` came first, 0
// when no box can be shown at all.
int ShowBox(const std::wstring &text, const wchar_t *caption, UINT style, const BoxEnd &end);
