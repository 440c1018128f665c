#include "CrashReporter/spec/ApiHookTrampoline.h"
#include <sys/mman.h>
#include <algorithm>
#include <cstring>
#include "CrashReporter/spec/ApiHook.h"

namespace ApiHook
{

namespace
{

// jmp [rip+0]; dq destination
size_t EmitAbsJump(uint8_t* out, uint64_t dest)
{
    const uint8_t head[] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(out, head, sizeof(head));
    std::memcpy(out + 6, &dest, 8);
    return 14;
}

// call [rip+2]; jmp +8; dq destination
size_t EmitAbsCall(uint8_t* out, uint64_t dest)
{
    const uint8_t head[] = {0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0xEB, 0x08};
    std::memcpy(out, head, sizeof(head));
    std::memcpy(out + 8, &dest, 8);
    return 16;
}

// j<not cc> +14; jmp [rip+0]; dq destination
size_t EmitAbsJcc(uint8_t* out, uint8_t condition, uint64_t dest)
{
    out[0] = static_cast<uint8_t>(0x71 ^ condition);
    out[1] = 0x0E;
    return 2 + EmitAbsJump(out + 2, dest);
}

// Executable memory covers [address, address + size).
bool Executable(const std::vector<MemoryRegion>& map, uintptr_t address, size_t size)
{
    while (size > 0)
    {
        const MemoryRegion* r = FindRegion(map, address);
        if (r == nullptr || (r->prot & PROT_EXEC) == 0)
            return false;
        const size_t inRegion = std::min<size_t>(size, r->end - address);
        address += inRegion;
        size -= inRegion;
    }
    return true;
}

// Bytes compilers put between functions: one value, 00, 90 or CC, throughout.
bool IsFiller(const uint8_t* p, size_t size)
{
    if (size == 0)
        return true;
    if (p[0] != 0x00 && p[0] != 0x90 && p[0] != 0xCC)
        return false;
    for (size_t i = 1; i < size; ++i)
    {
        if (p[i] != p[0])
            return false;
    }
    return true;
}

// Filler in executable memory (checked first, so that nothing outside it is read).
bool FillerAt(const std::vector<MemoryRegion>& map, uintptr_t address, size_t size)
{
    return Executable(map, address, size) && IsFiller(reinterpret_cast<const uint8_t*>(address), size);
}

int64_t RelativeOffset(const Instruction& in)
{
    if ((in.flags & c_fImm8) != 0)
        return static_cast<int8_t>(in.imm.imm8);
    if ((in.flags & c_fImm16) != 0)
        return static_cast<int16_t>(in.imm.imm16);
    return static_cast<int32_t>(in.imm.imm32);
}

} // namespace

bool BuildTrampoline(Trampoline& t, const std::vector<MemoryRegion>& map)
{
    const uintptr_t target = reinterpret_cast<uintptr_t>(t.target);
    uint32_t oldPos = 0;
    uint32_t newPos = 0;
    uint32_t jumpLimit = 0; // offset of the farthest internal branch destination
    bool finished = false;
    t.count = 0;
    t.patchAbove = false;

    do
    {
        const uintptr_t oldInst = target + oldPos;
        const uintptr_t newInst = reinterpret_cast<uintptr_t>(t.slot) + newPos;
        // An instruction is at most 15 bytes; the decoder reads no further than the instruction.
        if (!Executable(map, oldInst, 1))
            return false;
        Instruction in;
        const uint32_t len = DecodeInstruction(reinterpret_cast<const void*>(oldInst), in);
        if ((in.flags & c_fError) != 0 || !Executable(map, oldInst, len))
            return false;

        uint8_t buf[16];
        const uint8_t* copySrc = reinterpret_cast<const uint8_t*>(oldInst);
        uint32_t copySize = len;

        const bool ripRelative = (in.flags & c_fModRm) != 0 && in.modrmMod == 0 && in.modrmRm == 5;
        const uint8_t op = in.opcode;
        const bool jcc32 = op == 0x0F && in.opcode2 >= 0x80 && in.opcode2 <= 0x8F;
        const bool branch = (in.flags & c_fRelative) != 0;

        if (oldPos >= c_patchSize)
        {
            // The patch room is covered: continue in the original code.
            copySize = static_cast<uint32_t>(EmitAbsJump(buf, oldInst));
            copySrc = buf;
            finished = true;
        }
        else if (ripRelative)
        {
            std::memcpy(buf, copySrc, len);
            copySrc = buf;
            const uint32_t dispOffset = len - ImmediateSize(in.flags) - 4;
            int32_t disp;
            std::memcpy(&disp, buf + dispOffset, 4);
            const uint64_t addressed = oldInst + len + static_cast<int64_t>(disp);
            const int64_t newDisp = static_cast<int64_t>(addressed - (newInst + len));
            // With the 67 prefix the address wraps at 32 bits, so the low half is all that counts;
            // otherwise the data must stay within reach of the copy.
            if ((in.flags & c_fPrefix67) == 0 && (newDisp < INT32_MIN || newDisp > INT32_MAX))
                return false;
            const int32_t d32 = static_cast<int32_t>(static_cast<uint32_t>(newDisp));
            std::memcpy(buf + dispOffset, &d32, 4);
            if (op == 0xFF && in.modrmReg == 4)
                finished = true; // jmp [rip+x]: the function goes on elsewhere
        }
        else if (op == 0xE8 && branch)
        {
            copySize = static_cast<uint32_t>(EmitAbsCall(buf, oldInst + len + RelativeOffset(in)));
            copySrc = buf;
        }
        else if ((op == 0xE9 || op == 0xEB) && branch)
        {
            const uintptr_t dest = oldInst + len + RelativeOffset(in);
            if (dest >= target && dest < target + c_patchSize)
            {
                jumpLimit = std::max<uint32_t>(jumpLimit, static_cast<uint32_t>(dest - target));
            }
            else
            {
                copySize = static_cast<uint32_t>(EmitAbsJump(buf, dest));
                copySrc = buf;
                finished = (oldPos >= jumpLimit);
            }
        }
        else if (((op >= 0x70 && op <= 0x7F) || jcc32 || (op >= 0xE0 && op <= 0xE3)) && branch)
        {
            const uintptr_t dest = oldInst + len + RelativeOffset(in);
            if (dest >= target && dest < target + c_patchSize)
            {
                jumpLimit = std::max<uint32_t>(jumpLimit, static_cast<uint32_t>(dest - target));
            }
            else if (op >= 0xE0 && op <= 0xE3)
            {
                return false; // LOOP/JRCXZ have no 32-bit form to widen into
            }
            else
            {
                const uint8_t condition = static_cast<uint8_t>((jcc32 ? in.opcode2 : op) & 0x0F);
                copySize = static_cast<uint32_t>(EmitAbsJcc(buf, condition, dest));
                copySrc = buf;
            }
        }
        else if (op == 0xC2 || op == 0xC3)
        {
            finished = (oldPos >= jumpLimit);
        }
        else if (branch)
        {
            // Any other relative branch (XBEGIN, say) would land elsewhere from the copy.
            return false;
        }

        // Code between a branch and its destination must keep its layout.
        if (oldPos < jumpLimit && copySize != len)
            return false;
        if (newPos + copySize > c_maxTrampolineSize)
            return false;
        if (t.count >= c_maxInstructions)
            return false;
        t.oldOffsets[t.count] = static_cast<uint8_t>(oldPos);
        t.newOffsets[t.count] = static_cast<uint8_t>(newPos);
        ++t.count;
        std::memcpy(t.slot + newPos, copySrc, copySize);
        newPos += copySize;
        oldPos += len;
    } while (!finished);

    // A function shorter than the patch: the rest must be filler, or the jump goes above it.
    if (oldPos < c_patchSize)
    {
        if (!FillerAt(map, target + oldPos, c_patchSize - oldPos))
        {
            if (oldPos < c_shortPatchSize && !FillerAt(map, target + oldPos, c_shortPatchSize - oldPos))
                return false;
            if (target < c_patchSize)
                return false;
            if (!FillerAt(map, target - c_patchSize, c_patchSize))
                return false;
            t.patchAbove = true;
        }
    }

    t.relay = t.slot + newPos;
    EmitAbsJump(t.relay, reinterpret_cast<uintptr_t>(t.detour));
    return true;
}

} // namespace ApiHook
