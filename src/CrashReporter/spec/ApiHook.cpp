#include "CrashReporter/spec/ApiHook.h"
#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "CrashReporter/spec/ApiHookMemory.h"
#include "CrashReporter/spec/ApiHookThreads.h"
#include "CrashReporter/spec/ApiHookTrampoline.h"

namespace ApiHook
{

// One created hook.
struct HookEntry
{
    uint8_t* target;
    uint8_t* relay;      // the patch jumps here, and the relay on to the detour
    uint8_t* trampoline; // the relocated first instructions
    uint8_t patchAbove : 1;
    uint8_t enabled : 1;
    uint8_t count : 4;
    uint8_t oldOffsets[c_maxInstructions];
    uint8_t newOffsets[c_maxInstructions];
};

namespace
{

constexpr uint32_t c_initialCapacity = 32;

struct Engine
{
    bool initialized = false;
    HookEntry* entries = nullptr; // malloc'ed, grown by doubling
    uint32_t capacity = 0;
    uint32_t count = 0;
};

Engine g_engine;
std::atomic<int32_t> g_lock{0};

void SleepMs(long ms)
{
    timespec ts{0, ms * 1000000L};
    ::nanosleep(&ts, nullptr);
}

// The spin lock of the operations; the holder only ever runs for a bounded time.
class ScopedLock
{
public:
    ScopedLock()
    {
        for (uint32_t attempt = 0;; ++attempt)
        {
            int32_t expected = 0;
            if (g_lock.compare_exchange_strong(expected, 1))
                return;
            if (attempt < 32)
                ::sched_yield();
            else
                SleepMs(1);
        }
    }
    ~ScopedLock() { g_lock.exchange(0); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
};

HookEntry* FindEntry(const void* target)
{
    for (uint32_t i = 0; i < g_engine.count; ++i)
    {
        if (g_engine.entries[i].target == target)
            return &g_engine.entries[i];
    }
    return nullptr;
}

HookEntry* AddEntry()
{
    if (g_engine.count == g_engine.capacity)
    {
        const uint32_t capacity = g_engine.capacity == 0 ? c_initialCapacity : g_engine.capacity * 2;
        void* p = std::realloc(g_engine.entries, capacity * sizeof(HookEntry));
        if (p == nullptr)
            return nullptr;
        g_engine.entries = static_cast<HookEntry*>(p);
        g_engine.capacity = capacity;
    }
    return &g_engine.entries[g_engine.count++];
}

uintptr_t PatchAddress(const HookEntry& e)
{
    return reinterpret_cast<uintptr_t>(e.target) - (e.patchAbove ? c_patchSize : 0);
}

size_t PatchSize(const HookEntry& e)
{
    return e.patchAbove ? c_patchSize + c_shortPatchSize : c_patchSize;
}

// Moves parked threads that stand on a relocated instruction of e to its copy.
void MoveThreads(ThreadParker& parker, const HookEntry& e)
{
    const std::vector<ThreadParker::Thread>& threads = parker.Threads();
    const uintptr_t target = reinterpret_cast<uintptr_t>(e.target);
    for (size_t t = 0; t < threads.size(); ++t)
    {
        if (!threads[t].parked)
            continue;
        for (uint32_t i = 0; i < e.count; ++i)
        {
            if (threads[t].ip == target + e.oldOffsets[i])
            {
                parker.MoveIp(t, reinterpret_cast<uintptr_t>(e.trampoline) + e.newOffsets[i]);
                break;
            }
        }
    }
}

// Writes the jump to the relay over the target's entry. Runs while the other threads are parked:
// no allocation here.
Status Patch(HookEntry& e, const PatchPages* pages)
{
    if (pages == nullptr)
        return ErrorMemoryProtect;
    const uintptr_t at = PatchAddress(e);
    uint8_t bytes[c_patchSize + c_shortPatchSize];
    bytes[0] = 0xE9;
    const int32_t rel = static_cast<int32_t>(reinterpret_cast<intptr_t>(e.relay) - static_cast<intptr_t>(at) -
                                             static_cast<intptr_t>(c_patchSize));
    std::memcpy(bytes + 1, &rel, 4);
    if (e.patchAbove)
    {
        bytes[5] = 0xEB; // a short jump 7 bytes back, onto the E9
        bytes[6] = 0xF9;
    }
    if (!WriteCode(*pages, at, bytes, PatchSize(e)))
        return ErrorMemoryProtect;
    e.enabled = 1;
    return Ok;
}

// The protections of every page a patch of entries[from..] touches (null where a page is not
// mapped), read before parking.
std::vector<std::pair<PatchPages, bool>> PreparePages(uint32_t from)
{
    const std::vector<MemoryRegion> map = ReadMemoryMap();
    std::vector<std::pair<PatchPages, bool>> pages(g_engine.count);
    for (uint32_t i = from; i < g_engine.count; ++i)
    {
        const HookEntry& e = g_engine.entries[i];
        if (!e.enabled)
            pages[i].second = GetPatchPages(map, PatchAddress(e), PatchSize(e), pages[i].first);
    }
    return pages;
}

const PatchPages* PagesOf(const std::vector<std::pair<PatchPages, bool>>& pages, uint32_t i)
{
    return pages[i].second ? &pages[i].first : nullptr;
}

Status EnableAll()
{
    uint32_t first = 0;
    while (first < g_engine.count && g_engine.entries[first].enabled)
        ++first;
    if (first == g_engine.count)
        return Ok;

    const auto pages = PreparePages(first);
    Status status = Ok;
    ThreadParker parker;
    for (uint32_t i = first; i < g_engine.count; ++i)
    {
        if (!g_engine.entries[i].enabled)
            MoveThreads(parker, g_engine.entries[i]);
    }
    for (uint32_t i = first; i < g_engine.count; ++i)
    {
        HookEntry& e = g_engine.entries[i];
        if (e.enabled)
            continue;
        status = Patch(e, PagesOf(pages, i));
        if (status != Ok)
            break;
    }
    return status;
}

} // namespace

Status Initialize()
{
    ScopedLock lock;
    if (g_engine.initialized)
        return ErrorAlreadyInitialized;
    g_engine.initialized = true;
    return Ok;
}

Status CreateHook(void* target, void* detour, void** pOriginal)
{
    ScopedLock lock;
    if (!g_engine.initialized)
        return ErrorNotInitialized;

    const std::vector<MemoryRegion> map = ReadMemoryMap();
    const MemoryRegion* t = FindRegion(map, reinterpret_cast<uintptr_t>(target));
    const MemoryRegion* d = FindRegion(map, reinterpret_cast<uintptr_t>(detour));
    if (t == nullptr || (t->prot & PROT_EXEC) == 0 || d == nullptr || (d->prot & PROT_EXEC) == 0)
        return ErrorNotExecutable;
    if (FindEntry(target) != nullptr)
        return ErrorAlreadyCreated;

    void* slot = AllocateSlot(target);
    if (slot == nullptr)
        return ErrorMemoryAlloc;

    Trampoline tr;
    std::memset(&tr, 0, sizeof(tr));
    tr.target = static_cast<uint8_t*>(target);
    tr.detour = detour;
    tr.slot = static_cast<uint8_t*>(slot);
    if (!BuildTrampoline(tr, map))
    {
        FreeSlot(slot);
        return ErrorUnsupportedFunction;
    }

    HookEntry* e = AddEntry();
    if (e == nullptr)
    {
        FreeSlot(slot);
        return ErrorMemoryAlloc;
    }
    std::memset(e, 0, sizeof(*e));
    e->target = tr.target;
    e->relay = tr.relay;
    e->trampoline = tr.slot;
    e->patchAbove = tr.patchAbove ? 1 : 0;
    e->enabled = 0;
    e->count = static_cast<uint8_t>(tr.count);
    std::memcpy(e->oldOffsets, tr.oldOffsets, sizeof(e->oldOffsets));
    std::memcpy(e->newOffsets, tr.newOffsets, sizeof(e->newOffsets));
    if (pOriginal != nullptr)
        *pOriginal = tr.slot;
    return Ok;
}

Status EnableHook(void* target)
{
    ScopedLock lock;
    if (!g_engine.initialized)
        return ErrorNotInitialized;
    if (target == nullptr)
        return EnableAll();

    HookEntry* e = FindEntry(target);
    if (e == nullptr)
        return ErrorNotCreated;
    if (e->enabled)
        return ErrorEnabled;

    const uint32_t index = static_cast<uint32_t>(e - g_engine.entries);
    const auto pages = PreparePages(index);
    ThreadParker parker;
    MoveThreads(parker, *e);
    return Patch(*e, PagesOf(pages, index));
}

} // namespace ApiHook
