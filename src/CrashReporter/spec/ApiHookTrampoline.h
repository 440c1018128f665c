#pragma once
#include <cstdint>
#include <vector>
#include "CrashReporter/spec/ApiHookMemory.h"

namespace ApiHook
{

constexpr uint32_t c_patchSize = 5;      // E9 rel32
constexpr uint32_t c_shortPatchSize = 2; // EB rel8
constexpr uint32_t c_relaySize = 14;     // absolute jump
constexpr uint32_t c_maxTrampolineSize = c_slotSize - c_relaySize;
constexpr uint32_t c_maxInstructions = 8;

// The relocated entry of one target, built into a slot.
struct Trampoline
{
    uint8_t* target;
    void* detour;
    uint8_t* slot;  // the relocated instructions start here
    uint8_t* relay; // the jump to the detour, after them
    bool patchAbove;
    uint32_t count;
    uint8_t oldOffsets[c_maxInstructions];
    uint8_t newOffsets[c_maxInstructions];
};

// Copies the first instructions of t.target into t.slot (re-basing what is relative), adds the
// jump back and the relay to t.detour. map: the process's mappings, to keep every read inside
// executable memory. False when the entry cannot be relocated.
bool BuildTrampoline(Trampoline& t, const std::vector<MemoryRegion>& map);

} // namespace ApiHook
