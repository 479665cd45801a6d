// Handle and GDI object counts.

#include "counts.h"

#include "UniqueHandle.h"

#include <utility>

namespace {

// Handle values are multiples of 4; 16384 handles is far beyond this host's.
// The system hands out the lowest free values, so the probe stops after a
// long run of free ones: each probe is a system call, and a slow one on Wine.
constexpr ULONG_PTR kHandleProbeLimit = 0x10000;
constexpr ULONG_PTR kHandleStep = 4;
constexpr ULONG_PTR kHandleFreeRun = 1024;
// Wine hands out the lowest free value: a probe that stops after 64 free
// ones misses only handles above 64 closed ones, at a seventh or less of
// the cost, where GetProcessHandleCount counts nothing and each probe is a
// round trip to the server.
constexpr ULONG_PTR kPlacingFreeRun = 64;
// Wine's GDI handle table holds 65536 objects; stop there in any case.
constexpr size_t kGdiProbeLimit = 70000;

long long SystemHandleCount()
{
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

long long ProbedHandleCount()
{
    return static_cast<long long>(OpenHandles().size());
}

long long SystemGdiCount()
{
    return GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
}

long long GdiHeadroom()
{
    std::vector<UniqueBitmap> made;
    while (made.size() < kGdiProbeLimit) {
        UniqueBitmap bitmap(CreateBitmap(1, 1, 1, 1, nullptr));
        if (!bitmap)
            break;
        made.push_back(std::move(bitmap));
    }
    return -static_cast<long long>(made.size()); // all deleted as they go
}

} // namespace

std::vector<HANDLE> OpenHandles(HandleProbe probe)
{
    const ULONG_PTR freeRun = probe == HandleProbe::Placing && SystemHandleCount() == 0 ? kPlacingFreeRun : kHandleFreeRun;
    std::vector<HANDLE> open;
    ULONG_PTR free = 0;
    for (ULONG_PTR value = kHandleStep; value < kHandleProbeLimit && free < freeRun; value += kHandleStep) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            open.push_back(reinterpret_cast<HANDLE>(value));
            free = 0;
        } else {
            ++free;
        }
    }
    return open;
}

Counter ChooseHandleCounter()
{
    if (SystemHandleCount() > 0)
        return {SystemHandleCount, "counted with GetProcessHandleCount"};
    return {ProbedHandleCount, "counted as the handle values GetHandleInformation accepts"};
}

Counter ChooseGdiCounter()
{
    const long long before = SystemGdiCount();
    UniqueBitmap probe(CreateBitmap(1, 1, 1, 1, nullptr));
    const bool counts = SystemGdiCount() > before;
    probe.reset();
    if (counts)
        return {SystemGdiCount, "counted with GetGuiResources"};
    return {GdiHeadroom, "counted as the bitmaps the process can no longer create"};
}
