// libFuzzer target: the session packet parser fed any byte stream.
//
// Random mutations almost never give a header a valid CRC, so the mutator below repairs the
// CRCs of some of the headers it finds: hostile fields behind a valid header get fuzzed too.
//
// The stream is parsed four ways: whole, in pieces whose size the first byte picks, byte by
// byte, and in 1600-byte pieces with one call per piece and a drain only at the end. All four
// must give the same packets, and every packet must be a valid frame that occurs in the input.
// One more pass compares every single call with the plainest form of the rules.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>
#include "SessTranspLayer/StlPacket.h"
#include "Utils/Crc32.h"
#include "../tests/SessTranspLayer/StlReferenceParser.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace
{

using namespace SessTranspLayer;
using Bytes = std::vector<uint8_t>;

void Check(bool cond, const char* what)
{
    if (!cond)
    {
        std::fprintf(stderr, "stl_packet fuzz: %s\n", what);
        std::abort();
    }
}

const uint8_t c_none = 0;

Utils::ByteArray Piece(const uint8_t* p, size_t n)
{
    return Utils::ByteArray(n == 0 ? &c_none : p, n);
}

// Returns whether ProcessData made progress (a packet, or a shorter buffer).
bool Step(StlPacketSerializer& s, const Utils::ByteArray& data, std::vector<Bytes>& out)
{
    const uint64_t before = s.BufferedSize() + data.Size();
    std::unique_ptr<StlPacket> p = s.ProcessData(data);
    if (p)
    {
        Check(p->m_magic == c_stlMagic, "magic");
        Check(p->m_data.Size() == p->m_dataSize, "payload size");
        Check(p->m_dataSize <= c_stlMaxPayload, "payload bound");
        const Utils::ByteArray wire = StlPacketSerializer::Serialize(*p);
        out.emplace_back(wire.Data(), wire.Data() + wire.Size());
    }
    Check(s.BufferedSize() <= before, "buffer grew beyond its input");
    return p || s.BufferedSize() < before;
}

void Drain(StlPacketSerializer& s, std::vector<Bytes>& out)
{
    const Utils::ByteArray empty = Piece(nullptr, 0);
    // Each round consumes at least one byte, so the number of rounds is bounded by the input.
    while (Step(s, empty, out))
    {
    }
}

std::vector<Bytes> Parse(const uint8_t* data, size_t size, size_t pieceSize, bool drainEachPiece)
{
    std::vector<Bytes> out;
    StlPacketSerializer s;
    size_t pos = 0;
    do
    {
        const size_t n = std::min(pieceSize, size - pos);
        const bool progress = Step(s, Piece(data + pos, n), out);
        pos += n;
        if (drainEachPiece && progress)
            Drain(s, out);
    } while (pos < size);
    Drain(s, out);
    return out;
}

// Feeds pieces of pieceSize bytes, draining after each, and checks every call against the
// reference: the same packet (or none) and the same number of bytes left buffered.
void CompareWithReference(const uint8_t* data, size_t size, size_t pieceSize)
{
    StlPacketSerializer s;
    StlReferenceParser ref;
    std::vector<uint8_t> expected;
    auto call = [&](const uint8_t* p, size_t n)
    {
        const bool refGot = ref.ProcessData(p, n, expected);
        const uint64_t before = s.BufferedSize() + n;
        std::unique_ptr<StlPacket> got = s.ProcessData(Piece(p, n));
        Check(refGot == (got != nullptr), "reference disagrees on a packet");
        if (got)
        {
            const Utils::ByteArray wire = StlPacketSerializer::Serialize(*got);
            Check(expected == Bytes(wire.Data(), wire.Data() + wire.Size()),
                  "reference gives another packet");
        }
        Check(ref.BufferedSize() == s.BufferedSize(), "reference keeps another number of bytes");
        return got || s.BufferedSize() < before;
    };
    size_t pos = 0;
    do
    {
        const size_t n = std::min(pieceSize, size - pos);
        bool progress = call(data + pos, n);
        pos += n;
        while (progress)
            progress = call(nullptr, 0);
    } while (pos < size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<Bytes> whole = Parse(data, size, size, true);
    const size_t chosen = size == 0 ? 1 : 1 + data[0];
    Check(whole == Parse(data, size, chosen, true), "pieces of the chosen size differ");
    Check(whole == Parse(data, size, 1, true), "byte by byte differs");
    Check(whole == Parse(data, size, 1600, false), "one call per piece differs");
    CompareWithReference(data, size, chosen);

    for (const Bytes& packet : whole)
        Check(std::search(data, data + size, packet.begin(), packet.end()) != data + size,
              "a packet that is not in the input");
    return 0;
}

namespace
{

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    size = LLVMFuzzerMutate(data, size, maxSize);
    const uint32_t crcInit = 0xFFFFFFFF;
    for (size_t pos = 0; pos + c_stlHeaderSize <= size; ++pos)
    {
        if (GetBe32(data + pos) != c_stlMagic)
            continue;
        seed = seed * 1103515245u + 12345u;
        if ((seed >> 16) % 4 == 0)
            continue; // leave some headers as the mutation made them
        uint8_t* h = data + pos;
        const uint64_t n = GetBe32(h + 20);
        if (pos + c_stlHeaderSize + n <= size && (seed >> 20) % 2 == 0)
            PutBe32(h + 24,
                    n == 0 ? 0 : Utils::Crc32(h + c_stlHeaderSize, static_cast<int32_t>(n), crcInit, true));
        PutBe32(h + 28, Utils::Crc32(h, 28, crcInit, true));
    }
    return size;
}
