// The host process: its two runs of the library (the first reports, the
// second only counts what a run leaves held), the records it sends, what the
// library writes, and a crash, reported with where it happened, in whose
// thread, and the C++ exception that escaped, by its type.

#include "host.h"
#include "image.h"

#include "Exceptions.h"
#include "Paths.h"
#include "Symbols.h"
#include "Text.h"
#include "counts.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdlib.h>

#include <typeinfo>

namespace {

constexpr size_t kDetailSize = 1024;
constexpr DWORD kOutputPipeBytes = 1 << 20; // what the library may write between two steps without waiting
constexpr DWORD kCountLimitMs = 60000; // for counting what a run left held
constexpr DWORD kDebugText = 0x40010006;  // OutputDebugStringA's
constexpr DWORD kDebugTextWide = 0x4001000A; // OutputDebugStringW's, where the system raises it

// The sender's state, for the host's life: the system calls the crash filter
// and the debug-output handler with no argument of ours.
struct {
    HANDLE report = nullptr;
    HANDLE output = nullptr; // where the library's standard output and error arrive
    bool secondRun = false;
    const char *volatile entry = ""; // the step running: what the library writes is put down to it
    const HostState *host = nullptr;
} g_Host;

void SendRecord(const Record &record)
{
    const std::string line = Encode(record);
    DWORD written;
    WriteFile(g_Host.report, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// ---- What the library writes: OutputDebugString, standard output and error.

void SendOutput(const std::string &text)
{
    if (g_Host.secondRun)
        return;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            SendRecord({RecordKind::Output, {g_Host.entry, Check::Export, Verdict::NotObservable, {}, ""}, 0, line});
        at = end + 1;
    }
}

LONG WINAPI TakeDebugText(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD &record = *pointers->ExceptionRecord;
    if ((record.ExceptionCode != kDebugText && record.ExceptionCode != kDebugTextWide) || record.NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    // The length counts the terminating null, which is no text of the line.
    const size_t length = record.ExceptionInformation[0];
    if (record.ExceptionCode == kDebugTextWide) {
        const std::wstring_view said(reinterpret_cast<const wchar_t *>(record.ExceptionInformation[1]), length);
        SendOutput(text::Utf8(said.substr(0, said.find(L'\0'))));
    } else {
        const std::string_view said(reinterpret_cast<const char *>(record.ExceptionInformation[1]), length);
        SendOutput(std::string(said.substr(0, said.find('\0'))));
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

// What the library wrote to its standard output and error since the last
// look, sent as the step's that ran: read as each step begins, on the thread
// that begins it, so no reader holds anything while handles are counted.
void DrainOutput()
{
    char buffer[4096];
    DWORD available = 0, read = 0;
    while (g_Host.output != nullptr && PeekNamedPipe(g_Host.output, nullptr, 0, nullptr, &available, nullptr) &&
           available > 0 && ReadFile(g_Host.output, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        SendOutput({buffer, read});
}

// The library's standard output and error (its C runtime's and the
// process's) into a pipe this host reads.
UniqueHandle CaptureStandardOutput()
{
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, nullptr, kOutputPipeBytes))
        return UniqueHandle();
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_TEXT);
    _dup2(fd, 1);
    _dup2(fd, 2);
    _close(fd);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
    setvbuf(stdout, nullptr, _IONBF, 0); // nothing held back when the host is ended
    g_Host.output = reader;
    return UniqueHandle(reader);
}

// ---- A crash, in words.

// "module+0xoffset (function (file:line))" for an address, the source from
// the module's PDB where one is found.
std::string Where(const void *address)
{
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const wchar_t *>(address), &module) ||
        GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return "an address outside any module (unmapped code?)";
    const auto base = reinterpret_cast<ULONG_PTR>(module), at = reinterpret_cast<ULONG_PTR>(address);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const std::wstring source = SourceOf(GetCurrentProcess(), path, base, nt->OptionalHeader.SizeOfImage, at);
    char offset[32];
    _snprintf(offset, sizeof(offset), "+0x%lx", static_cast<unsigned long>(at - base));
    const std::wstring full = path;
    const std::string name = text::Utf8(full.substr(full.find_last_of(L'\\') + 1));
    return name + offset + (source.empty() ? "" : " (" + text::Utf8(source) + ")");
}

// The type of a C++ exception that escaped, where its runtime's records give it.
std::string ThrownType(const EXCEPTION_RECORD &record)
{
    if (record.ExceptionCode == exceptions::kGccThrow && record.NumberParameters >= 1) {
        // libstdc++'s header of the thrown object (its __cxa_exception) ends
        // with the unwinder's record, which is what was raised.
        struct Thrown {
            std::type_info *type;
            void (*destructor)(void *);
            void (*unexpected)();
            void (*terminate)();
            void *next;
            int handlerCount, handlerSwitchValue;
            const unsigned char *actionRecord, *languageSpecificData;
            void *catchTemp, *adjustedPtr;
        };
        const auto *thrown = reinterpret_cast<const Thrown *>(record.ExceptionInformation[0] - sizeof(Thrown));
        int status = 0;
        char *name = abi::__cxa_demangle(thrown->type->name(), nullptr, nullptr, &status);
        std::string type = name != nullptr ? name : thrown->type->name();
        free(name);
        return type;
    }
    if (record.ExceptionCode == exceptions::kMsvcThrow && record.NumberParameters >= 3) {
        // ThrowInfo -> its catchable types -> the first one's type descriptor, whose name is ".?AVname@space@@".
        const ULONG_PTR image = record.NumberParameters >= 4 ? record.ExceptionInformation[3] : 0;
        const auto at = [image](ULONG_PTR from, size_t offset) { return image + *reinterpret_cast<const int *>(from + offset); };
        const ULONG_PTR types = at(record.ExceptionInformation[2], 3 * sizeof(int));
        const char *decorated = reinterpret_cast<const char *>(at(at(types, sizeof(int)), sizeof(int)) + 2 * sizeof(void *));
        std::string parts = decorated + (decorated[0] == '.' ? 4 : 0), type;
        for (size_t end; (end = parts.find('@')) != std::string::npos && end > 0; parts.erase(0, end + 1))
            type.insert(0, parts.substr(0, end) + (type.empty() ? "" : "::")); // "name@space@@": innermost first
        return type;
    }
    return "";
}

// Whose thread it is: an entry's, one the library started, or the host's own.
std::string Whose(DWORD thread, bool &entry)
{
    entry = false;
    for (const EntryRun &run : g_Host.host->runs) {
        if (run.entry != nullptr && run.threadId == thread) {
            entry = true;
            return run.entry->name;
        }
    }
    if (const void *start = StartOfLibraryThread(thread))
        return "a thread the library started (entry " + Where(start) + ")";
    return "a thread of the host's own";
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD &record = *pointers->ExceptionRecord;
    char code[16], access[64] = "";
    _snprintf(code, sizeof(code), "0x%08lX", record.ExceptionCode);
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2)
        _snprintf(access, sizeof(access) - 1, " %s 0x%p",
                  record.ExceptionInformation[0] == EXCEPTION_WRITE_FAULT     ? "writing"
                  : record.ExceptionInformation[0] == EXCEPTION_EXECUTE_FAULT ? "executing"
                                                                              : "reading",
                  reinterpret_cast<void *>(record.ExceptionInformation[1]));
    bool entry = false;
    const std::string whose = Whose(GetCurrentThreadId(), entry);
    std::string detail;
    if (record.ExceptionCode == exceptions::kGccThrow || record.ExceptionCode == exceptions::kMsvcThrow) {
        const std::string type = ThrownType(record);
        detail = "a C++ exception" + (type.empty() ? "" : " (" + type + ")") + " escaped " +
                 (entry ? whose : "the code of " + whose) + " (" + code + "): an entry must catch what it throws";
    } else {
        detail = std::string(exceptions::NameOf(record.ExceptionCode)) + " (" + code + ")" + access + " at " +
                 Where(record.ExceptionAddress) + ", in " + (entry ? "the thread of " : "") + whose;
    }
    DrainOutput();
    Send(RecordKind::Crash, detail + (g_Host.secondRun ? ", in the second run (the one that counts)" : ""));
    TerminateProcess(GetCurrentProcess(), record.ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// What a run leaves held, against what the first left: the system's
// one-time allocations (a cached registry key, say) do not count.
void Count(Check check, const Counter &counter, long long afterFirstRun, const char *what)
{
    Begin("", check, kCountLimitMs); // counting is slow where objects are counted by making them
    const long long left = counter.count() - afterFirstRun;
    if (left <= 0) {
        Pass("", check, 0, counter.how);
        return;
    }
    const std::string who = check == Check::HandlesLeft ? HandlesLeftBy() : GdiLeftBy(left);
    Result("", check, Verdict::Fail, &left, "%s a run leaves held: %lld (%s)%s%s", what, left, counter.how,
           who.empty() ? "" : ": ", who.c_str());
}

// Runs the library a second time, counting what that run leaves held.
void CountWhatIsLeft(HostState &host)
{
    const Counter handles = ChooseHandleCounter(), gdi = ChooseGdiCounter();
    const long long handlesAfterFirstRun = handles.count(), gdiAfterFirstRun = gdi.count();
    DWORD error = ERROR_SUCCESS;
    const char *uncounted = host.terminated    ? "a thread had to be terminated, and what it held stays held"
                            : host.threadsLeft ? "threads it started still run, and hold what they hold"
                                               : nullptr;
    if (uncounted == nullptr) {
        StartLeakRecord();
        g_Host.secondRun = true;
        if (!RunLibrary(host, error))
            uncounted = "could not be loaded a second time";
        g_Host.secondRun = false;
    }
    if (uncounted == nullptr) {
        Count(Check::HandlesLeft, handles, handlesAfterFirstRun, "kernel handles");
        Count(Check::GdiLeft, gdi, gdiAfterFirstRun, "GDI objects");
    } else {
        for (Check check : {Check::HandlesLeft, Check::GdiLeft})
            Result("", check, Verdict::NotObservable, nullptr, "%s", uncounted);
    }
}

} // namespace

void Begin(const char *entry, Check check, DWORD limitMs)
{
    DrainOutput();
    g_Host.entry = entry;
    NoteStep(entry, check);
    SendRecord({RecordKind::Step, {entry, check, Verdict::NotObservable, std::nullopt, ""}, limitMs, ""});
}

void Result(const char *entry, Check check, Verdict verdict, const long long *value, const char *format, ...)
{
    if (g_Host.secondRun)
        return;
    char detail[kDetailSize];
    va_list args;
    va_start(args, format);
    _vsnprintf(detail, sizeof(detail) - 1, format, args);
    va_end(args);
    detail[sizeof(detail) - 1] = '\0';
    CheckResult result{entry, check, verdict, std::nullopt, detail};
    if (value != nullptr)
        result.value = *value;
    SendRecord({RecordKind::Result, result, 0, ""});
}

void Pass(const char *entry, Check check, long long value, const char *detail)
{
    Result(entry, check, Verdict::Pass, &value, "%s", detail);
}

void Send(RecordKind kind, const std::string &detail)
{
    SendRecord({kind, {}, 0, detail});
}

bool InSecondRun()
{
    return g_Host.secondRun;
}

int RunHost(const Options &options)
{
    g_Host.report = options.report;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // a queue, as the shell's main thread has
    StartQueueProbe();
    HostState host(options);
    text::ToCodePage(host.installDir, host.installDirText);
    // The shell's application directory is its installation directory: the
    // library's dependencies are looked for beside it, never beside the checker.
    host.search = RestrictLibrarySearch(paths::DirectoryOf(host.path).c_str());
    g_Host.host = &host;
    SetUnhandledExceptionFilter(OnCrash);
    AddVectoredExceptionHandler(1, TakeDebugText);
    const UniqueHandle output = CaptureStandardOutput();
    DWORD error = ERROR_ACCESS_DENIED; // what a library search that cannot be restricted means
    if (host.search == LibrarySearch::NotRestricted || !RunLibrary(host, error)) {
        Send(RecordKind::Unloadable, WhyUnloadable(host.path, error));
        return kExitUnloadable;
    }
    CountWhatIsLeft(host);
    StopQueueProbe();
    Result("", Check::Crash, Verdict::Pass, nullptr, "no crash, hang or early exit");
    DrainOutput();
    Send(RecordKind::Done);
    // Ended here, not by ExitProcess: a thread terminated inside the library
    // may have left the loader's lock held, and the exit would wait on it.
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
