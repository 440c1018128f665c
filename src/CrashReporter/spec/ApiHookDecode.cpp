#include "CrashReporter/spec/ApiHook.h"
#include <Zydis/Zydis.h>
#include <cstring>

// The instruction-length decoder. Zydis does the decoding; this file maps its result onto the
// compact record the trampoline builder works with.
namespace ApiHook
{

namespace
{

constexpr uint32_t c_maxLength = 15;

const ZydisDecoder& Decoder()
{
    static const ZydisDecoder decoder = []
    {
        ZydisDecoder d;
        ZydisDecoderInit(&d, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
        return d;
    }();
    return decoder;
}

uint32_t ImmFlag(uint8_t bits)
{
    switch (bits)
    {
    case 8:
        return c_fImm8;
    case 16:
        return c_fImm16;
    case 32:
        return c_fImm32;
    case 64:
        return c_fImm64;
    default:
        return 0;
    }
}

uint32_t DispFlag(uint8_t bits)
{
    switch (bits)
    {
    case 8:
        return c_fDisp8;
    case 16:
        return c_fDisp16;
    case 32:
        return c_fDisp32;
    default:
        return 0;
    }
}

uint32_t ErrorFlags(ZyanStatus status)
{
    switch (status)
    {
    case ZYDIS_STATUS_INSTRUCTION_TOO_LONG:
    case ZYDIS_STATUS_NO_MORE_DATA:
        return c_fError | c_fErrorLength;
    case ZYDIS_STATUS_ILLEGAL_LOCK:
        return c_fError | c_fErrorLock;
    case ZYDIS_STATUS_BAD_REGISTER:
        return c_fError | c_fErrorOperand;
    default:
        return c_fError | c_fErrorOpcode;
    }
}

// Which field of Instruction keeps a legacy prefix byte, and the flag that says it is there.
struct PrefixSlot
{
    uint8_t value;
    uint8_t Instruction::*field;
    uint32_t flag;
};

const PrefixSlot c_prefixSlots[] = {
    {0xF2, &Instruction::prefixRep, c_fPrefixRepnz}, {0xF3, &Instruction::prefixRep, c_fPrefixRepx},
    {0xF0, &Instruction::prefixLock, c_fPrefixLock}, {0x26, &Instruction::prefixSeg, c_fPrefixSeg},
    {0x2E, &Instruction::prefixSeg, c_fPrefixSeg},   {0x36, &Instruction::prefixSeg, c_fPrefixSeg},
    {0x3E, &Instruction::prefixSeg, c_fPrefixSeg},   {0x64, &Instruction::prefixSeg, c_fPrefixSeg},
    {0x65, &Instruction::prefixSeg, c_fPrefixSeg},   {0x66, &Instruction::prefix66, c_fPrefix66},
    {0x67, &Instruction::prefix67, c_fPrefix67},
};

void ReadPrefixes(const ZydisDecodedInstruction& in, Instruction& out)
{
    for (uint8_t i = 0; i < in.raw.prefix_count && i < c_maxLength; ++i)
    {
        const uint8_t p = in.raw.prefixes[i].value;
        // REX is not in the table: it is taken from its own record.
        for (const PrefixSlot& slot : c_prefixSlots)
        {
            if (slot.value != p)
                continue;
            out.*slot.field = p;
            out.flags |= slot.flag;
            break;
        }
    }
}

void ReadRex(const ZydisDecodedInstruction& in, const uint8_t* bytes, Instruction& out)
{
    if ((in.attributes & ZYDIS_ATTRIB_HAS_REX) != 0)
    {
        out.flags |= c_fPrefixRex;
        out.rex = bytes[in.raw.rex.offset];
        out.rexW = in.raw.rex.W;
        out.rexR = in.raw.rex.R;
        out.rexX = in.raw.rex.X;
        out.rexB = in.raw.rex.B;
    }
}

// The opcode bytes; true for the moffs forms of MOV (A0-A3), whose address is an immediate.
bool ReadOpcode(const ZydisDecodedInstruction& in, const uint8_t* bytes, Instruction& out)
{
    bool moffs = false;
    switch (in.encoding)
    {
    case ZYDIS_INSTRUCTION_ENCODING_LEGACY:
    case ZYDIS_INSTRUCTION_ENCODING_3DNOW:
        switch (in.opcode_map)
        {
        case ZYDIS_OPCODE_MAP_DEFAULT:
            out.opcode = in.opcode;
            moffs = in.opcode >= 0xA0 && in.opcode <= 0xA3;
            break;
        case ZYDIS_OPCODE_MAP_0F:
            out.opcode = 0x0F;
            out.opcode2 = in.opcode;
            break;
        case ZYDIS_OPCODE_MAP_0F38:
            out.opcode = 0x0F;
            out.opcode2 = 0x38;
            break;
        case ZYDIS_OPCODE_MAP_0F3A:
            out.opcode = 0x0F;
            out.opcode2 = 0x3A;
            break;
        default:
            out.opcode = 0x0F;
            out.opcode2 = 0x0F;
            break;
        }
        break;
    default:
    {
        // The first byte after the legacy prefixes is the VEX/EVEX/XOP escape.
        const uint8_t offset = static_cast<uint8_t>(in.raw.prefix_count);
        out.opcode = offset < in.length ? bytes[offset] : 0;
        out.opcode2 = in.opcode;
        break;
    }
    }
    return moffs;
}

void ReadModRmAndSib(const ZydisDecodedInstruction& in, Instruction& out)
{
    if ((in.attributes & ZYDIS_ATTRIB_HAS_MODRM) != 0)
    {
        out.flags |= c_fModRm;
        out.modrmMod = in.raw.modrm.mod;
        out.modrmReg = in.raw.modrm.reg;
        out.modrmRm = in.raw.modrm.rm;
        out.modrm = static_cast<uint8_t>((in.raw.modrm.mod << 6) | (in.raw.modrm.reg << 3) | in.raw.modrm.rm);
    }
    if ((in.attributes & ZYDIS_ATTRIB_HAS_SIB) != 0)
    {
        out.flags |= c_fSib;
        out.sibScale = in.raw.sib.scale;
        out.sibIndex = in.raw.sib.index;
        out.sibBase = in.raw.sib.base;
        out.sib = static_cast<uint8_t>((in.raw.sib.scale << 6) | (in.raw.sib.index << 3) | in.raw.sib.base);
    }
}

void ReadDisplacementAndImmediates(const ZydisDecodedInstruction& in, bool moffs, Instruction& out)
{
    if (moffs)
    {
        // A moffs address is an operand of address size: 64 bits, or 32 with the 67 prefix.
        out.flags |= ImmFlag(in.raw.disp.size);
        out.imm.imm64 = static_cast<uint64_t>(in.raw.disp.value);
    }
    else if (in.raw.disp.size != 0)
    {
        out.flags |= DispFlag(in.raw.disp.size);
        out.disp.disp32 = static_cast<uint32_t>(in.raw.disp.value);
    }

    for (int i = 0; i < 2; ++i)
    {
        const auto& imm = in.raw.imm[i];
        if (imm.size == 0)
            continue;
        out.flags |= ImmFlag(imm.size);
        if (imm.is_relative)
            out.flags |= c_fRelative;
        if (i == 0)
        {
            const uint64_t mask = imm.size >= 64 ? ~0ULL : ((1ULL << imm.size) - 1);
            out.imm.imm64 = imm.value.u & mask;
        }
    }
}

} // namespace

uint32_t DecodeInstruction(const void* code, Instruction& out)
{
    std::memset(&out, 0, sizeof(out));
    ZydisDecodedInstruction in;
    const ZyanStatus status = ZydisDecoderDecodeInstruction(&Decoder(), nullptr, code, c_maxLength, &in);
    if (!ZYAN_SUCCESS(status))
    {
        out.flags = ErrorFlags(status);
        // Too long: what was read is cut to the limit; otherwise step over the bad byte only.
        out.length = (out.flags & c_fErrorLength) != 0 ? c_maxLength : 1;
        return out.length;
    }

    const uint8_t* bytes = static_cast<const uint8_t*>(code);
    out.length = in.length;
    ReadPrefixes(in, out);
    ReadRex(in, bytes, out);
    const bool moffs = ReadOpcode(in, bytes, out);
    ReadModRmAndSib(in, out);
    ReadDisplacementAndImmediates(in, moffs, out);
    return out.length;
}

} // namespace ApiHook
