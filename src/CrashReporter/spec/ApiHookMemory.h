#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Memory services of the hooking engine: what is mapped where (from /proc/self/maps), blocks of
// trampoline slots near a target, and page protection changes for the patch.
namespace ApiHook
{

constexpr uintptr_t c_blockSize = 4096;
constexpr uintptr_t c_slotSize = 64;
constexpr uintptr_t c_slotsPerBlock = c_blockSize / c_slotSize - 1;
// Trampolines stay this close to their target, leaving room for re-based RIP-relative operands.
constexpr uintptr_t c_maxNearDistance = 0x40000000;

// A 4096-byte block of executable memory; this header takes the first of its 64 slots.
struct MemoryBlock
{
    MemoryBlock* next;
    void* freeSlots; // each free slot starts with the pointer to the next free one
    uint32_t usedCount;
};
static_assert(sizeof(MemoryBlock) <= c_slotSize, "the header fits one slot");

// One mapping of the process as /proc/self/maps lists it.
struct MemoryRegion
{
    uintptr_t begin;
    uintptr_t end;
    int prot; // PROT_READ, PROT_WRITE, PROT_EXEC
};

// The process's mappings in address order. Empty when they cannot be read.
std::vector<MemoryRegion> ReadMemoryMap();

// The region holding address, or null when it is not mapped.
const MemoryRegion* FindRegion(const std::vector<MemoryRegion>& map, uintptr_t address);

// A free slot of a block within reach of target, taking a new block when none has room. Null when
// no memory could be had.
void* AllocateSlot(const void* target);

// Gives a slot back; the block goes away with its last slot.
void FreeSlot(void* slot);

// The page protections of a patch range, read before the other threads are parked, so that the
// write itself needs neither the allocator nor the file system.
struct PatchPages
{
    uintptr_t page[2];
    int prot[2];
    int count;
};

// False when some page of [address, address + size) is not mapped.
bool GetPatchPages(const std::vector<MemoryRegion>& map, uintptr_t address, size_t size, PatchPages& out);

// Makes the pages writable, copies the bytes, puts the protections back and flushes the
// instruction cache. False when the protection could not be changed (nothing written then).
bool WriteCode(const PatchPages& pages, uintptr_t address, const void* bytes, size_t size);

} // namespace ApiHook
