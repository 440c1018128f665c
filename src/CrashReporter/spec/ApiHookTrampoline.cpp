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

// Where the copy stands in the original function and in the trampoline.
struct CopyCursor
{
    uint32_t oldPos = 0;
    uint32_t newPos = 0;
    uint32_t jumpLimit = 0; // offset of the farthest internal branch destination
    bool finished = false;
};

// One decoded instruction of the original and the bytes that stand for it in the copy: the
// instruction itself, or a rewritten form in buf.
struct CopyPiece
{
    Instruction in;
    uintptr_t oldInst;
    uintptr_t newInst;
    uint32_t len;
    uint8_t buf[16];
    const uint8_t* src;
    uint32_t size;

    void UseBuffer(size_t bufferSize)
    {
        src = buf;
        size = static_cast<uint32_t>(bufferSize);
    }
    uintptr_t Destination() const { return oldInst + len + RelativeOffset(in); }
};

// rip+disp32 addressing, pointed at the same data from the copy. False when the data is out of
// reach of the copy.
bool RelocateRipRelative(CopyPiece& p, CopyCursor& c)
{
    std::memcpy(p.buf, p.src, p.len);
    p.src = p.buf;
    const uint32_t dispOffset = p.len - ImmediateSize(p.in.flags) - 4;
    int32_t disp;
    std::memcpy(&disp, p.buf + dispOffset, 4);
    const uint64_t addressed = p.oldInst + p.len + static_cast<int64_t>(disp);
    const int64_t newDisp = static_cast<int64_t>(addressed - (p.newInst + p.len));
    // With the 67 prefix the address wraps at 32 bits, so the low half is all that counts;
    // otherwise the data must stay within reach of the copy.
    if ((p.in.flags & c_fPrefix67) == 0 && (newDisp < INT32_MIN || newDisp > INT32_MAX))
        return false;
    const int32_t d32 = static_cast<int32_t>(static_cast<uint32_t>(newDisp));
    std::memcpy(p.buf + dispOffset, &d32, 4);
    if (p.in.opcode == 0xFF && p.in.modrmReg == 4)
        c.finished = true; // jmp [rip+x]: the function goes on elsewhere
    return true;
}

// A jump inside the patch room stays as it is (and the copy must run at least to its
// destination); one out of it becomes an absolute jump.
void RelocateJump(uintptr_t target, CopyPiece& p, CopyCursor& c)
{
    const uintptr_t dest = p.Destination();
    if (dest >= target && dest < target + c_patchSize)
    {
        c.jumpLimit = std::max<uint32_t>(c.jumpLimit, static_cast<uint32_t>(dest - target));
        return;
    }
    p.UseBuffer(EmitAbsJump(p.buf, dest));
    c.finished = (c.oldPos >= c.jumpLimit);
}

// The same for a conditional jump, LOOP or JRCXZ. False for a LOOP/JRCXZ that leaves the room.
bool RelocateConditionalJump(uintptr_t target, bool jcc32, CopyPiece& p, CopyCursor& c)
{
    const uint8_t op = p.in.opcode;
    const uintptr_t dest = p.Destination();
    if (dest >= target && dest < target + c_patchSize)
    {
        c.jumpLimit = std::max<uint32_t>(c.jumpLimit, static_cast<uint32_t>(dest - target));
        return true;
    }
    if (op >= 0xE0 && op <= 0xE3)
        return false; // LOOP/JRCXZ have no 32-bit form to widen into
    const uint8_t condition = static_cast<uint8_t>((jcc32 ? p.in.opcode2 : op) & 0x0F);
    p.UseBuffer(EmitAbsJcc(p.buf, condition, dest));
    return true;
}

// Chooses the bytes of the copy for one instruction; false when it cannot be moved.
bool RelocateInstruction(uintptr_t target, CopyPiece& p, CopyCursor& c)
{
    const Instruction& in = p.in;
    const bool ripRelative = (in.flags & c_fModRm) != 0 && in.modrmMod == 0 && in.modrmRm == 5;
    const uint8_t op = in.opcode;
    const bool jcc32 = op == 0x0F && in.opcode2 >= 0x80 && in.opcode2 <= 0x8F;
    const bool branch = (in.flags & c_fRelative) != 0;

    if (c.oldPos >= c_patchSize)
    {
        // The patch room is covered: continue in the original code.
        p.UseBuffer(EmitAbsJump(p.buf, p.oldInst));
        c.finished = true;
    }
    else if (ripRelative)
        return RelocateRipRelative(p, c);
    else if (op == 0xE8 && branch)
        p.UseBuffer(EmitAbsCall(p.buf, p.Destination()));
    else if ((op == 0xE9 || op == 0xEB) && branch)
        RelocateJump(target, p, c);
    else if (((op >= 0x70 && op <= 0x7F) || jcc32 || (op >= 0xE0 && op <= 0xE3)) && branch)
        return RelocateConditionalJump(target, jcc32, p, c);
    else if (op == 0xC2 || op == 0xC3)
        c.finished = (c.oldPos >= c.jumpLimit);
    else if (branch)
        return false; // any other relative branch (XBEGIN, say) would land elsewhere from the copy
    return true;
}

// Adds the piece to the trampoline and records where the instruction went.
bool AppendPiece(Trampoline& t, const CopyPiece& p, CopyCursor& c)
{
    // Code between a branch and its destination must keep its layout.
    if (c.oldPos < c.jumpLimit && p.size != p.len)
        return false;
    if (c.newPos + p.size > c_maxTrampolineSize)
        return false;
    if (t.count >= c_maxInstructions)
        return false;
    t.oldOffsets[t.count] = static_cast<uint8_t>(c.oldPos);
    t.newOffsets[t.count] = static_cast<uint8_t>(c.newPos);
    ++t.count;
    std::memcpy(t.slot + c.newPos, p.src, p.size);
    c.newPos += p.size;
    c.oldPos += p.len;
    return true;
}

// A function shorter than the patch: the rest must be filler, or the jump goes above it.
bool PlacePatch(Trampoline& t, const std::vector<MemoryRegion>& map, uintptr_t target, uint32_t copied)
{
    if (copied >= c_patchSize || FillerAt(map, target + copied, c_patchSize - copied))
        return true;
    if (copied < c_shortPatchSize && !FillerAt(map, target + copied, c_shortPatchSize - copied))
        return false;
    if (target < c_patchSize)
        return false;
    if (!FillerAt(map, target - c_patchSize, c_patchSize))
        return false;
    t.patchAbove = true;
    return true;
}

} // namespace

bool BuildTrampoline(Trampoline& t, const std::vector<MemoryRegion>& map)
{
    const uintptr_t target = reinterpret_cast<uintptr_t>(t.target);
    CopyCursor c;
    t.count = 0;
    t.patchAbove = false;

    do
    {
        CopyPiece p;
        p.oldInst = target + c.oldPos;
        p.newInst = reinterpret_cast<uintptr_t>(t.slot) + c.newPos;
        // An instruction is at most 15 bytes; the decoder reads no further than the instruction.
        if (!Executable(map, p.oldInst, 1))
            return false;
        p.len = DecodeInstruction(reinterpret_cast<const void*>(p.oldInst), p.in);
        if ((p.in.flags & c_fError) != 0 || !Executable(map, p.oldInst, p.len))
            return false;
        p.src = reinterpret_cast<const uint8_t*>(p.oldInst);
        p.size = p.len;
        if (!RelocateInstruction(target, p, c) || !AppendPiece(t, p, c))
            return false;
    } while (!c.finished);

    if (!PlacePatch(t, map, target, c.oldPos))
        return false;
    t.relay = t.slot + c.newPos;
    EmitAbsJump(t.relay, reinterpret_cast<uintptr_t>(t.detour));
    return true;
}

} // namespace ApiHook
