#pragma once
#include <cstdint>

// A small in-process engine that redirects a function of any loaded module to a detour on x86-64.
// The first instructions of the target are copied into a trampoline placed within 32-bit jump
// reach of the target, so the detour can still call the unhooked function through it; the target's
// entry is then overwritten with a jump. While patching, every other thread of the process is
// parked and a thread stopped inside the replaced bytes continues in the trampoline.
// There is deliberately no disable or remove: a hook, once enabled, stays for the process's life.
namespace ApiHook
{

enum Status : int32_t
{
    Ok = 0,
    ErrorAlreadyInitialized = 1,
    ErrorNotInitialized = 2,
    ErrorAlreadyCreated = 3,
    ErrorNotCreated = 4,
    ErrorEnabled = 5,
    ErrorNotExecutable = 7,
    ErrorUnsupportedFunction = 8,
    ErrorMemoryAlloc = 9,
    ErrorMemoryProtect = 10,
};

// Once per process; a second call gives ErrorAlreadyInitialized.
Status Initialize();

// Creates a disabled hook of target. When pOriginal is given it receives the address through which
// the unhooked function can be called.
Status CreateHook(void* target, void* detour, void** pOriginal = nullptr);

// Patches the hook of target; a null target enables every created hook not enabled yet.
Status EnableHook(void* target);

// Flags of a decoded instruction.
constexpr uint32_t c_fModRm = 0x1;
constexpr uint32_t c_fSib = 0x2;
constexpr uint32_t c_fImm8 = 0x4;
constexpr uint32_t c_fImm16 = 0x8;
constexpr uint32_t c_fImm32 = 0x10;
constexpr uint32_t c_fImm64 = 0x20;
constexpr uint32_t c_fDisp8 = 0x40;
constexpr uint32_t c_fDisp16 = 0x80;
constexpr uint32_t c_fDisp32 = 0x100;
constexpr uint32_t c_fRelative = 0x200;
constexpr uint32_t c_fError = 0x1000;
constexpr uint32_t c_fErrorOpcode = 0x2000;
constexpr uint32_t c_fErrorLength = 0x4000;
constexpr uint32_t c_fErrorLock = 0x8000;
constexpr uint32_t c_fErrorOperand = 0x10000;
constexpr uint32_t c_fPrefixRepnz = 0x01000000;
constexpr uint32_t c_fPrefixRepx = 0x02000000;
constexpr uint32_t c_fPrefix66 = 0x04000000;
constexpr uint32_t c_fPrefix67 = 0x08000000;
constexpr uint32_t c_fPrefixLock = 0x10000000;
constexpr uint32_t c_fPrefixSeg = 0x20000000;
constexpr uint32_t c_fPrefixRex = 0x40000000;

// Bits 2 to 5 of the flags, shifted down by 2: the size of the immediate(s) in bytes.
inline uint32_t ImmediateSize(uint32_t flags)
{
    return (flags >> 2) & 0xF;
}

// One decoded instruction. For a two-byte opcode (0F xx) opcode is 0x0F and opcode2 the second
// byte; for VEX/EVEX/XOP forms opcode is the first byte of that prefix and opcode2 the opcode.
struct Instruction
{
    uint8_t length;
    uint8_t prefixRep;
    uint8_t prefixLock;
    uint8_t prefixSeg;
    uint8_t prefix66;
    uint8_t prefix67;
    uint8_t rex;
    uint8_t rexW;
    uint8_t rexR;
    uint8_t rexX;
    uint8_t rexB;
    uint8_t opcode;
    uint8_t opcode2;
    uint8_t modrm;
    uint8_t modrmMod;
    uint8_t modrmReg;
    uint8_t modrmRm;
    uint8_t sib;
    uint8_t sibScale;
    uint8_t sibIndex;
    uint8_t sibBase;
    union
    {
        uint8_t imm8;
        uint16_t imm16;
        uint32_t imm32;
        uint64_t imm64;
    } imm;
    union
    {
        uint8_t disp8;
        uint16_t disp16;
        uint32_t disp32;
    } disp;
    uint32_t flags;
};

// Decodes the 64-bit instruction at code into out and returns its length. An undecodable
// instruction sets c_fError (with the reason's flag) and gives length 1, or 15 when it is too long.
uint32_t DecodeInstruction(const void* code, Instruction& out);

} // namespace ApiHook
