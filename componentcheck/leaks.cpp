// Who left what. The second run of the library only counts what it leaves
// held; here each kernel handle and GDI object it leaves is put down to the
// step of the run during which it appeared (an entry, or the load or unload),
// and named by its type, so that the report says what to look for where:
// "ShellMain left 1 event". Kernel handles are seen by the values held as
// each step begins; GDI objects, which cannot be enumerated, by hooks on the
// library's own calls of the functions that make them.

#include "leaks.h"

#include "counts.h"
#include "hosting.h"
#include "image.h"
#include "sender.h"

#include "Library.h"

#include <winternl.h>

#include <algorithm>
#include <map>
#include <utility>

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
    g_Steps.push_back({who, OpenHandles()});
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
