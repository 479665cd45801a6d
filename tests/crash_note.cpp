// Linked into every Windows test program: a crash says what it was on stderr
// before the program ends (the test prefixes start no debugger), and what the
// test had written to stdout is not lost in the runtime's buffer with it.

#include <windows.h>

#include <stdio.h>

namespace {

LONG WINAPI NoteCrash(EXCEPTION_POINTERS *info)
{
    char note[128];
    const int length = snprintf(note, sizeof(note), "the test program crashed: exception 0x%08lX at %p\n",
                                info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), note, static_cast<DWORD>(length), &written, nullptr);
    return EXCEPTION_CONTINUE_SEARCH;
}

const bool kNoted = [] {
    setvbuf(stdout, nullptr, _IONBF, 0);
    SetUnhandledExceptionFilter(NoteCrash);
    return true;
}();

} // namespace
