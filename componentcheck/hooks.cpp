// Watching the library from inside: hooks in its import table on SetEvent
// and on the functions that start threads, the threads it started, and the
// probe that tells whether an entry's thread has a message queue.

#include "hooks.h"

#include "leaks.h"

#include "image.h"

#include <process.h>
#include <psapi.h>
#include <tlhelp32.h>

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
    for (EntryRun *run : {&g_Hooked->startup, &g_Hooked->service, &g_Hooked->core}) {
        if (event == nullptr || event != run->worker.entryReady.get())
            continue;
        if (InterlockedIncrement(&run->signals) == 1 && run->entry != nullptr && run->Stoppable()) {
            const DWORD thread = run->threadId != 0 ? run->threadId : GetCurrentThreadId();
            InterlockedExchange(&run->queueAtSignal, g_QueueProbe.HasQueue(thread));
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

// The threads running in the library's code just after it loaded: those its
// DllMain started, before any hook could see them. Found by their start
// address, which only the native API tells. False when they cannot be.
bool TrackThreadsStartedWhileLoading(HMODULE library)
{
    using NtQueryInformationThreadProc = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    constexpr int kThreadQuerySetWin32StartAddress = 9;
    const auto query = reinterpret_cast<NtQueryInformationThreadProc>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    MODULEINFO image{};
    if (query == nullptr ||
        !GetModuleInformation(GetCurrentProcess(), library, &image, sizeof(image)))
        return false;
    const auto *begin = static_cast<const BYTE *>(image.lpBaseOfDll);
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return false;
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
        if (at >= begin && at < begin + image.SizeOfImage)
            TrackThread(thread.get(), start);
    }
    return true;
}

bool HookImports(HostState &host, HMODULE library)
{
    g_Hooked = &host;
    const bool seen = TrackThreadsStartedWhileLoading(library);
    Hook(library, "SetEvent", HookedSetEvent, g_RealSetEvent);
    Hook(library, "CreateThread", HookedCreateThread, g_RealCreateThread);
    Hook(library, "_beginthreadex", HookedBeginThreadEx, g_RealBeginThreadEx);
    Hook(library, "_beginthread", HookedBeginThread, g_RealBeginThread);
    HookGdiMakers(library);
    return seen;
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
