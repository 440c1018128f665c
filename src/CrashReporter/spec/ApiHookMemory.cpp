#include "CrashReporter/spec/ApiHookMemory.h"
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <string>
#include "Platform/SysInfo.h"

namespace ApiHook
{

namespace
{

// The bounds of the address space a block may take (the lowest the kernel maps by default, and
// the top of the 47-bit user half).
constexpr uintptr_t c_lowestAddress = 0x10000;
constexpr uintptr_t c_highestAddress = 0x00007FFFFFFFEFFF;
constexpr uintptr_t c_pageSize = 4096;

// Every block ever taken and not released, newest first. Guarded by the engine's lock.
MemoryBlock* g_blocks = nullptr;

uintptr_t AlignDown(uintptr_t a, uintptr_t g)
{
    return a - a % g;
}

uintptr_t AlignUp(uintptr_t a, uintptr_t g)
{
    return AlignDown(a + g - 1, g);
}

bool ParseHex(const char*& p, const char* end, uintptr_t& out)
{
    out = 0;
    const char* start = p;
    for (; p < end; ++p)
    {
        const char c = *p;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            break;
        out = out * 16 + static_cast<uintptr_t>(v);
    }
    return p != start;
}

// Maps one block exactly at address, never over an existing mapping.
MemoryBlock* MapBlockAt(uintptr_t address, bool& hardFailure)
{
    hardFailure = false;
    void* p = ::mmap(reinterpret_cast<void*>(address), c_blockSize, PROT_READ | PROT_WRITE | PROT_EXEC,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED)
    {
        // EEXIST: something was mapped there since the map was read; other errors will not pass.
        hardFailure = (errno != EEXIST);
        return nullptr;
    }
    if (reinterpret_cast<uintptr_t>(p) != address)
    {
        // A kernel that takes the flag as a mere hint put it elsewhere: out of reach.
        ::munmap(p, c_blockSize);
        return nullptr;
    }
    return static_cast<MemoryBlock*>(p);
}

MemoryBlock* NewBlockNear(uintptr_t target, uintptr_t low, uintptr_t high)
{
    const std::vector<MemoryRegion> map = ReadMemoryMap();
    if (map.empty())
        return nullptr;
    const uintptr_t g = c_pageSize;
    bool hard = false;

    // Downward first: above a module lie its data and the brk heap, which a block would fence in.
    if (AlignDown(target, g) >= g)
    {
        uintptr_t a = AlignDown(target, g) - g;
        while (a >= low)
        {
            const MemoryRegion* r = FindRegion(map, a);
            if (r == nullptr)
            {
                if (MemoryBlock* b = MapBlockAt(a, hard))
                    return b;
                if (hard || a < g)
                    break;
                a -= g;
            }
            else
            {
                if (r->begin < g)
                    break;
                a = AlignDown(r->begin, g) - g;
            }
        }
    }
    if (hard)
        return nullptr;

    uintptr_t a = AlignDown(target, g) + g;
    while (a <= high)
    {
        const MemoryRegion* r = FindRegion(map, a);
        if (r == nullptr)
        {
            if (MemoryBlock* b = MapBlockAt(a, hard))
                return b;
            if (hard)
                break;
            a += g;
        }
        else
        {
            a = AlignUp(r->end, g);
        }
    }
    return nullptr;
}

void InitBlock(MemoryBlock* block)
{
    char* base = reinterpret_cast<char*>(block);
    void* head = nullptr;
    // Chained from the last so that slots are handed out in address order.
    for (uintptr_t i = c_slotsPerBlock; i >= 1; --i)
    {
        void* slot = base + i * c_slotSize;
        *static_cast<void**>(slot) = head;
        head = slot;
    }
    block->freeSlots = head;
    block->usedCount = 0;
    block->next = g_blocks;
    g_blocks = block;
}

} // namespace

std::vector<MemoryRegion> ReadMemoryMap()
{
    std::vector<MemoryRegion> map;
    const std::string text = Platform::ReadSmallFile("/proc/self/maps");
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end)
    {
        const char* eol = std::find(p, end, '\n');
        MemoryRegion r;
        const char* q = p;
        if (ParseHex(q, eol, r.begin) && q < eol && *q == '-' && ParseHex(++q, eol, r.end) && q + 4 < eol &&
            *q == ' ')
        {
            ++q;
            r.prot = (q[0] == 'r' ? PROT_READ : 0) | (q[1] == 'w' ? PROT_WRITE : 0) |
                     (q[2] == 'x' ? PROT_EXEC : 0);
            if (r.end > r.begin)
                map.push_back(r);
        }
        p = eol < end ? eol + 1 : end;
    }
    std::sort(map.begin(), map.end(),
              [](const MemoryRegion& a, const MemoryRegion& b) { return a.begin < b.begin; });
    return map;
}

const MemoryRegion* FindRegion(const std::vector<MemoryRegion>& map, uintptr_t address)
{
    auto it = std::upper_bound(map.begin(), map.end(), address,
                               [](uintptr_t a, const MemoryRegion& r) { return a < r.begin; });
    if (it == map.begin())
        return nullptr;
    --it;
    return address < it->end ? &*it : nullptr;
}

void* AllocateSlot(const void* target)
{
    const uintptr_t t = reinterpret_cast<uintptr_t>(target);
    uintptr_t low = c_lowestAddress;
    if (t > c_maxNearDistance)
        low = std::max(low, t - c_maxNearDistance);
    const uintptr_t high = std::min(t + c_maxNearDistance, c_highestAddress) - (c_blockSize - 1);

    MemoryBlock* block = nullptr;
    for (MemoryBlock* b = g_blocks; b != nullptr; b = b->next)
    {
        const uintptr_t a = reinterpret_cast<uintptr_t>(b);
        if (a >= low && a < high && b->freeSlots != nullptr)
        {
            block = b;
            break;
        }
    }
    if (block == nullptr)
    {
        block = NewBlockNear(t, low, high);
        if (block == nullptr)
            return nullptr;
        InitBlock(block);
    }
    void* slot = block->freeSlots;
    block->freeSlots = *static_cast<void**>(slot);
    ++block->usedCount;
    return slot;
}

void FreeSlot(void* slot)
{
    MemoryBlock* block =
        reinterpret_cast<MemoryBlock*>(reinterpret_cast<uintptr_t>(slot) & ~(c_blockSize - 1));
    *static_cast<void**>(slot) = block->freeSlots;
    block->freeSlots = slot;
    if (--block->usedCount != 0)
        return;
    for (MemoryBlock** p = &g_blocks; *p != nullptr; p = &(*p)->next)
    {
        if (*p == block)
        {
            *p = block->next;
            break;
        }
    }
    ::munmap(block, c_blockSize);
}

bool GetPatchPages(const std::vector<MemoryRegion>& map, uintptr_t address, size_t size, PatchPages& out)
{
    out.count = 0;
    const uintptr_t first = AlignDown(address, c_pageSize);
    const uintptr_t last = AlignDown(address + size - 1, c_pageSize);
    for (uintptr_t page = first; page <= last; page += c_pageSize)
    {
        const MemoryRegion* r = FindRegion(map, page);
        if (r == nullptr || out.count == 2)
            return false;
        out.page[out.count] = page;
        out.prot[out.count] = r->prot;
        ++out.count;
    }
    return out.count > 0;
}

bool WriteCode(const PatchPages& pages, uintptr_t address, const void* bytes, size_t size)
{
    int done = 0;
    for (; done < pages.count; ++done)
    {
        if (::mprotect(reinterpret_cast<void*>(pages.page[done]), c_pageSize,
                       PROT_READ | PROT_WRITE | PROT_EXEC) != 0)
            break;
    }
    const bool writable = (done == pages.count);
    if (writable)
    {
        volatile uint8_t* dst = reinterpret_cast<volatile uint8_t*>(address);
        const uint8_t* src = static_cast<const uint8_t*>(bytes);
        for (size_t i = 0; i < size; ++i)
            dst[i] = src[i];
    }
    for (int i = 0; i < done; ++i)
        ::mprotect(reinterpret_cast<void*>(pages.page[i]), c_pageSize, pages.prot[i]);
    if (writable)
        __builtin___clear_cache(reinterpret_cast<char*>(address), reinterpret_cast<char*>(address + size));
    return writable;
}

} // namespace ApiHook
