// The exceptions a component's fault raises, in words: one table for the
// watcher's record of a launcher that crashed and the checker's crash row.
#pragma once

#include <windows.h>

namespace exceptions {

constexpr DWORD kGccThrow = 0x20474343;      // a C++ exception of GCC's and clang's runtime, unhandled
constexpr DWORD kMsvcThrow = 0xE06D7363;     // one of Microsoft's runtime
constexpr DWORD kErrorSeverity = 0xC0000000; // NTSTATUS values of this severity are exceptions

constexpr struct {
    DWORD code;
    const char *name;
} kNames[] = {
    {EXCEPTION_ACCESS_VIOLATION, "access violation"},
    {EXCEPTION_STACK_OVERFLOW, "stack overflow"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "integer division by zero"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, "privileged instruction"},
    {STATUS_STACK_BUFFER_OVERRUN, "stack buffer overrun"},
    {0xC0000374, "corrupted heap"}, // STATUS_HEAP_CORRUPTION
    {EXCEPTION_IN_PAGE_ERROR, "page that could not be read in"},
    {EXCEPTION_BREAKPOINT, "breakpoint"},
    {0xC0000135, "DLL that was not found"},        // STATUS_DLL_NOT_FOUND
    {0xC0000142, "DLL that failed to initialise"}, // STATUS_DLL_INIT_FAILED
    {kGccThrow, "C++ exception nobody caught"},
    {kMsvcThrow, "C++ exception nobody caught (Microsoft's runtime)"},
};

// The code's name in the table; null for none.
inline const char *KnownName(DWORD code)
{
    for (const auto &named : kNames) {
        if (named.code == code)
            return named.name;
    }
    return nullptr;
}

// "access violation"; "exception" for a code of none of the names.
inline const char *NameOf(DWORD code)
{
    const char *name = KnownName(code);
    return name != nullptr ? name : "exception";
}

// The article a name takes: "an access violation", "a stack overflow".
inline const char *ArticleOf(const char *name)
{
    const char first = name[0];
    return first == 'a' || first == 'e' || first == 'i' || first == 'o' || first == 'u' ? "an" : "a";
}

// Whether a process's exit code is an exception's rather than a value it returned.
inline bool IsException(DWORD code)
{
    return KnownName(code) != nullptr || code >= kErrorSeverity;
}

} // namespace exceptions
