// Watching the library from inside: hooks in its import table on SetEvent,
// on the functions that start threads and on those that make GDI objects;
// the threads it started; the probe that tells whether an entry's thread has
// a message queue; and who left what. The second run of the library only
// counts what it leaves held; each kernel handle and GDI object it leaves is
// put down to the step of the run during which it appeared (an entry, or the
// load or unload) and named by its type, so that the report says what to
// look for where: "ShellMain left 1 event". Kernel handles are seen by the
// values held as each step begins; GDI objects, which cannot be enumerated,
// by hooks on the library's own calls of the functions that make them.

#include "host.h"
#include "image.h"

#include "Library.h"
#include "counts.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <map>
#include <utility>

namespace {

constexpr DWORD kProbeWaitMs = 5000;

// PostThreadMessage fails for a thread without a queue. The question is
// asked on the entry's own thread as it signals, so it is answered from a
// thread of this host's, started before the library is loaded.
class QueueProbe {
public:
    // Without its events or thread, every answer is -1.
    void Start()
    {
        request_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        answer_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        if (request_ && answer_)
            thread_.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    }
    LONG HasQueue(DWORD threadId)
    {
        AcquireSRWLockExclusive(&lock_); // one question at a time
        target_ = threadId;
        SetEvent(request_.get());
        const LONG answer = WaitForSingleObject(answer_.get(), kProbeWaitMs) == WAIT_OBJECT_0 ? answerValue_ : -1;
        ReleaseSRWLockExclusive(&lock_);
        return answer;
    }
    void Stop()
    {
        if (!thread_)
            return;
        target_ = 0;
        SetEvent(request_.get());
        WaitForSingleObject(thread_.get(), kProbeWaitMs);
        thread_.reset();
    }

private:
    static DWORD WINAPI Run(void *self)
    {
        auto probe = static_cast<QueueProbe *>(self);
        while (WaitForSingleObject(probe->request_.get(), INFINITE) == WAIT_OBJECT_0 && probe->target_ != 0) {
            probe->answerValue_ = PostThreadMessageA(probe->target_, WM_NULL, 0, 0) ? 1 : 0;
            SetEvent(probe->answer_.get());
        }
        return 0;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    UniqueHandle request_, answer_, thread_;
    volatile DWORD target_ = 0;
    volatile LONG answerValue_ = -1;
};

QueueProbe g_QueueProbe;

// A thread the library started, known from its creation.
struct LibraryThread {
    UniqueHandle handle; // SYNCHRONIZE only
    DWORD id;
    const void *start;
};

// The hooks' own records, for the process's life: a library that stays
// mapped keeps its hooks, and its threads, across runs.
HostState *g_Hooked; // whose entries' signals are counted
LibraryThread g_Threads[kMaxTrackedThreads];
volatile LONG g_ThreadCount;

LONG TrackedThreads()
{
    return g_ThreadCount < kMaxTrackedThreads ? g_ThreadCount : kMaxTrackedThreads;
}

using SetEventProc = BOOL(WINAPI *)(HANDLE);
using CreateThreadProc = HANDLE(WINAPI *)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                          LPDWORD);
using BeginThreadExProc = uintptr_t(__cdecl *)(void *, unsigned, unsigned(__stdcall *)(void *), void *, unsigned,
                                               unsigned *);
using BeginThreadProc = uintptr_t(__cdecl *)(void(__cdecl *)(void *), unsigned, void *);

// What the library would have called, as its import table held it.
SetEventProc g_RealSetEvent;
CreateThreadProc g_RealCreateThread;
BeginThreadExProc g_RealBeginThreadEx;
BeginThreadProc g_RealBeginThread;

void TrackThread(HANDLE thread, const void *start)
{
    UniqueHandle copy;
    if (thread == nullptr || thread == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), copy.put(), SYNCHRONIZE, FALSE, 0))
        return;
    const LONG slot = InterlockedIncrement(&g_ThreadCount) - 1;
    if (slot >= kMaxTrackedThreads)
        return;
    LibraryThread &tracked = g_Threads[slot];
    tracked.id = GetThreadId(thread);
    tracked.start = start;
    tracked.handle = std::move(copy);
}

BOOL WINAPI HookedSetEvent(HANDLE event)
{
    for (EntryRun &run : g_Hooked->runs) {
        if (event == nullptr || event != run.worker.entryReady.get())
            continue;
        if (InterlockedIncrement(&run.signals) == 1 && run.entry != nullptr && run.Stoppable()) {
            const DWORD thread = run.threadId != 0 ? run.threadId : GetCurrentThreadId();
            InterlockedExchange(&run.queueAtSignal, g_QueueProbe.HasQueue(thread));
        }
    }
    return g_RealSetEvent(event);
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                 LPVOID argument, DWORD flags, LPDWORD id)
{
    HANDLE thread = g_RealCreateThread(security, stack, start, argument, flags, id);
    TrackThread(thread, reinterpret_cast<const void *>(start));
    return thread;
}

uintptr_t __cdecl HookedBeginThreadEx(void *security, unsigned stack, unsigned(__stdcall *start)(void *),
                                      void *argument, unsigned flags, unsigned *id)
{
    const uintptr_t thread = g_RealBeginThreadEx(security, stack, start, argument, flags, id);
    TrackThread(reinterpret_cast<HANDLE>(thread), reinterpret_cast<const void *>(start));
    return thread;
}

uintptr_t __cdecl HookedBeginThread(void(__cdecl *start)(void *), unsigned stack, void *argument)
{
    const uintptr_t thread = g_RealBeginThread(start, stack, argument);
    // The runtime closes this handle when the thread ends: tracked as a copy.
    TrackThread(reinterpret_cast<HANDLE>(thread), reinterpret_cast<const void *>(start));
    return thread;
}

template <typename Proc>
void Hook(HMODULE library, const char *function, Proc replacement, Proc &real)
{
    const auto found = reinterpret_cast<Proc>(PatchImport(library, function, reinterpret_cast<void *>(replacement)));
    // A library that stayed mapped since the first run (pinned, say) still
    // holds the hook: taken for the real function, it would call itself.
    if (found != replacement)
        real = found;
}

} // namespace

void StartQueueProbe()
{
    g_QueueProbe.Start();
}

void StopQueueProbe()
{
    g_QueueProbe.Stop();
}

LONG HasQueue(DWORD threadId)
{
    return g_QueueProbe.HasQueue(threadId);
}

// Found by their start address, which only the native API tells.
long long TrackThreadsStartedWhileLoading(HMODULE library)
{
    using NtQueryInformationThreadProc = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    constexpr int kThreadQuerySetWin32StartAddress = 9;
    const auto query = ExportOf<NtQueryInformationThreadProc>(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread");
    MODULEINFO image{};
    if (query == nullptr || !GetModuleInformation(GetCurrentProcess(), library, &image, sizeof(image)))
        return -1;
    const auto *begin = static_cast<const BYTE *>(image.lpBaseOfDll);
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return -1;
    long long found = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snapshot.get(), &entry); ok; ok = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == GetCurrentThreadId())
            continue;
        const UniqueHandle thread(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
        void *start = nullptr;
        if (!thread || query(thread.get(), kThreadQuerySetWin32StartAddress, &start, sizeof(start), nullptr) != 0)
            continue;
        const auto *at = static_cast<const BYTE *>(start);
        if (at >= begin && at < begin + image.SizeOfImage) {
            TrackThread(thread.get(), start);
            ++found;
        }
    }
    return found;
}

void HookGdiMakers(HMODULE library);

void HookImports(HostState &host, HMODULE library)
{
    g_Hooked = &host;
    host.dllMainThreads = TrackThreadsStartedWhileLoading(library);
    Hook(library, "SetEvent", HookedSetEvent, g_RealSetEvent);
    Hook(library, "CreateThread", HookedCreateThread, g_RealCreateThread);
    Hook(library, "_beginthreadex", HookedBeginThreadEx, g_RealBeginThreadEx);
    Hook(library, "_beginthread", HookedBeginThread, g_RealBeginThread);
    HookGdiMakers(library);
}

bool SetEventHooked()
{
    return g_RealSetEvent != nullptr;
}

long long RunningLibraryThreads()
{
    long long running = 0;
    for (LONG i = 0; i < TrackedThreads(); ++i) {
        LibraryThread &thread = g_Threads[i];
        if (!thread.handle)
            continue;
        if (WaitForSingleObject(thread.handle.get(), kSettleMs) == WAIT_TIMEOUT)
            ++running;
        else
            thread.handle.reset();
    }
    return running;
}

const void *StartOfLibraryThread(DWORD id)
{
    for (LONG i = 0; i < TrackedThreads(); ++i) {
        if (g_Threads[i].id == id)
            return g_Threads[i].start;
    }
    return nullptr;
}

// ---- Who left what

namespace {

// The handles held as a step began, and the step.
struct Held {
    const char *who;
    std::vector<HANDLE> handles; // sorted
};

struct Made {
    HANDLE object;
    const char *who;
};

std::vector<Held> g_Steps; // the second run's, in order
SRWLOCK g_Lock = SRWLOCK_INIT;
const char *g_Who = "loading it"; // the step running, under the lock
std::vector<Made> g_Gdi;          // made by the library's own calls in the second run, under the lock

// ---- GDI makers: every one returns its object and takes up to 14
// arguments no wider than a pointer, so one forwarding hook per argument
// list serves them all, on 32-bit (stdcall) and 64-bit alike.
using Arg = ULONG_PTR;

struct Maker {
    const char *name;
    void *hook;
};
constexpr size_t kMakerCount = 25;
void *g_RealMakers[kMakerCount];

template <size_t I, typename... Args>
Arg WINAPI Make(Args... args)
{
    using Proc = Arg(WINAPI *)(Args...);
    const Arg object = reinterpret_cast<Proc>(g_RealMakers[I])(args...);
    if (object != 0 && InSecondRun()) {
        AcquireSRWLockExclusive(&g_Lock);
        g_Gdi.push_back({reinterpret_cast<HANDLE>(object), g_Who});
        ReleaseSRWLockExclusive(&g_Lock);
    }
    return object;
}

template <size_t I, size_t... N>
void *HookOf(std::index_sequence<N...>)
{
    return reinterpret_cast<void *>(&Make<I, decltype(static_cast<Arg>(N))...>);
}

template <size_t I, size_t Count>
Maker MakerOf(const char *name)
{
    return {name, HookOf<I>(std::make_index_sequence<Count>())};
}

const Maker kMakers[kMakerCount] = {
    MakerOf<0, 1>("CreateSolidBrush"),        MakerOf<1, 2>("CreateHatchBrush"),
    MakerOf<2, 1>("CreatePatternBrush"),      MakerOf<3, 1>("CreateBrushIndirect"),
    MakerOf<4, 3>("CreatePen"),               MakerOf<5, 1>("CreatePenIndirect"),
    MakerOf<6, 5>("ExtCreatePen"),            MakerOf<7, 14>("CreateFontA"),
    MakerOf<8, 14>("CreateFontW"),            MakerOf<9, 1>("CreateFontIndirectA"),
    MakerOf<10, 1>("CreateFontIndirectW"),    MakerOf<11, 5>("CreateBitmap"),
    MakerOf<12, 1>("CreateBitmapIndirect"),   MakerOf<13, 3>("CreateCompatibleBitmap"),
    MakerOf<14, 6>("CreateDIBitmap"),         MakerOf<15, 6>("CreateDIBSection"),
    MakerOf<16, 1>("CreateCompatibleDC"),     MakerOf<17, 4>("CreateDCA"),
    MakerOf<18, 4>("CreateRectRgn"),          MakerOf<19, 1>("CreateRectRgnIndirect"),
    MakerOf<20, 4>("CreateEllipticRgn"),      MakerOf<21, 6>("CreateRoundRectRgn"),
    MakerOf<22, 3>("CreatePolygonRgn"),       MakerOf<23, 1>("CreatePalette"),
    MakerOf<24, 2>("LoadBitmapA"),
};

// ---- Names of what was left.
const char *GdiTypeName(DWORD type)
{
    switch (type) {
    case OBJ_PEN:
    case OBJ_EXTPEN: return "pen";
    case OBJ_BRUSH: return "brush";
    case OBJ_DC: return "DC";
    case OBJ_MEMDC: return "memory DC";
    case OBJ_PAL: return "palette";
    case OBJ_FONT: return "font";
    case OBJ_BITMAP: return "bitmap";
    case OBJ_REGION: return "region";
    default: return "GDI object";
    }
}

// The kernel's name of the handle's type, as a reader knows it.
std::string KernelTypeName(HANDLE handle)
{
    using NtQueryObjectProc = LONG(NTAPI *)(HANDLE, OBJECT_INFORMATION_CLASS, void *, ULONG, ULONG *);
    static const auto query = ExportOf<NtQueryObjectProc>(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
    union {
        PUBLIC_OBJECT_TYPE_INFORMATION info;
        char bytes[1024];
    } buffer{};
    std::string kernel;
    if (query != nullptr && query(handle, ObjectTypeInformation, &buffer, sizeof(buffer) - sizeof(WCHAR), nullptr) >= 0) {
        const UNICODE_STRING &name = buffer.info.TypeName;
        for (USHORT i = 0; name.Buffer != nullptr && i < name.Length / sizeof(WCHAR); ++i)
            kernel += name.Buffer[i] < 0x80 ? static_cast<char>(name.Buffer[i]) : '?';
    }
    static const std::pair<const char *, const char *> kNames[] = {
        {"Event", "event"},          {"Mutant", "mutex"},         {"Semaphore", "semaphore"},
        {"File", "file"},            {"Thread", "thread"},        {"Process", "process"},
        {"Key", "registry key"},     {"Section", "file mapping"}, {"Timer", "waitable timer"},
        {"Token", "access token"},   {"Job", "job"},              {"IoCompletion", "completion port"},
    };
    for (const auto &[system, ours] : kNames) {
        if (kernel == system)
            return ours;
    }
    return kernel.empty() ? "kernel object" : kernel;
}

std::string Plural(std::string noun, size_t count)
{
    if (count == 1)
        return noun;
    const bool sibilant = noun.back() == 's' || noun.back() == 'x' ||
                          (noun.size() > 1 && noun.back() == 'h' && (noun[noun.size() - 2] == 's' || noun[noun.size() - 2] == 'c'));
    return noun + (sibilant ? "es" : "s");
}

// "ShellMain left 1 event, 2 files; loading it left 1 mutex", in the order
// the steps ran.
std::string Describe(const std::vector<std::pair<const char *, std::string>> &left)
{
    std::vector<const char *> whos;
    std::map<const char *, std::map<std::string, size_t>> counts;
    for (const auto &[who, type] : left) {
        if (counts.find(who) == counts.end())
            whos.push_back(who);
        ++counts[who][type];
    }
    std::string text;
    for (const char *who : whos) {
        text += text.empty() ? "" : "; ";
        text += std::string(who) + " left ";
        bool first = true;
        for (const auto &[type, count] : counts[who]) {
            text += (first ? "" : ", ") + std::to_string(count) + " " + Plural(type, count);
            first = false;
        }
    }
    return text;
}

} // namespace

void HookGdiMakers(HMODULE library)
{
    for (size_t i = 0; i < kMakerCount; ++i) {
        void *found = PatchImport(library, kMakers[i].name, kMakers[i].hook);
        if (found != nullptr && found != kMakers[i].hook) // see Hook: never take the hook for the real one
            g_RealMakers[i] = found;
    }
}

void StartLeakRecord()
{
    g_Steps.clear();
    AcquireSRWLockExclusive(&g_Lock);
    g_Who = "loading it";
    g_Gdi.clear();
    ReleaseSRWLockExclusive(&g_Lock);
}

void NoteStep(const char *entry, Check check)
{
    if (!InSecondRun())
        return;
    const char *who = *entry != '\0'                                  ? entry
                      : check == Check::Export || check == Check::Load ? "loading it"
                                                                       : "unloading it";
    AcquireSRWLockExclusive(&g_Lock);
    g_Who = who;
    ReleaseSRWLockExclusive(&g_Lock);
    g_Steps.push_back({who, OpenHandles(HandleProbe::Placing)}); // only places a handle found left
}

std::string HandlesLeftBy()
{
    std::vector<std::pair<const char *, std::string>> left;
    for (HANDLE handle : OpenHandles()) {
        // It appeared during the last step that began without it.
        for (size_t step = g_Steps.size(); step-- > 0;) {
            const std::vector<HANDLE> &held = g_Steps[step].handles;
            if (!std::binary_search(held.begin(), held.end(), handle)) {
                left.emplace_back(g_Steps[step].who, KernelTypeName(handle));
                break;
            }
        }
    }
    return Describe(left);
}

std::string GdiLeftBy(long long count)
{
    std::vector<std::pair<const char *, std::string>> left;
    AcquireSRWLockExclusive(&g_Lock);
    for (const Made &made : g_Gdi) {
        if (const DWORD type = GetObjectType(made.object))
            left.emplace_back(made.who, GdiTypeName(type));
    }
    ReleaseSRWLockExclusive(&g_Lock);
    std::string text = Describe(left);
    const long long others = count - static_cast<long long>(left.size());
    if (others > 0)
        text += (text.empty() ? "" : "; ") + std::to_string(others) +
                " made by the DLLs it calls (or by functions this check does not watch)";
    return text;
}
