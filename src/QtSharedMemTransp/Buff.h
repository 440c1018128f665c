#pragma once
#include <cstddef>
#include <cstdint>
#include "Utils/ByteArray.h"

namespace QtSharedMemTransp
{

// Byte layout of the segment shared by the two processes. Every field is a native-endian
// 32-bit word; the segment starts page aligned.
//
//   0  magic            server
//   4  size A           server  capacity of ring A (server to client)
//   8  size B           server  capacity of ring B (client to server)
//  12  server tick      server  heartbeat while connected
//  16  client tick      client  heartbeat while connected
//  20  link word        both    LinkWord
//  24  ring A           write offset, read offset, size A data bytes
//  32 + size A  ring B  write offset, read offset, size B data bytes
namespace Segment
{

const uint32_t c_magic = 0x5600A307;

const size_t c_offsetMagic = 0;
const size_t c_offsetSizeA = 4;
const size_t c_offsetSizeB = 8;
const size_t c_offsetServerTick = 12;
const size_t c_offsetClientTick = 16;
const size_t c_offsetLink = 20;
const size_t c_offsetRingA = 24;

const size_t c_headerSize = 24;
const size_t c_ringHeaderSize = 8; // write offset, read offset
const size_t c_fixedSize = c_headerSize + 2 * c_ringHeaderSize;

enum LinkWord : uint32_t
{
    linkNoClient = 0, // zero fill
    linkAttached = 1, // written by the client
    linkLeft = 2      // written by whichever side leaves
};

// Bytes of a segment with rings of these capacities (never wraps).
inline uint64_t TotalSize(uint32_t sizeA, uint32_t sizeB)
{
    return uint64_t(c_fixedSize) + sizeA + sizeB;
}

inline size_t RingBOffset(uint32_t sizeA)
{
    return c_offsetRingA + c_ringHeaderSize + size_t(sizeA);
}

// Sizes that make a usable layout: each ring holds at least one byte, ring B's words stay 4-byte
// aligned (the offsets are accessed atomically) and the whole segment fits in maxTotal bytes.
bool SizesValid(uint32_t sizeA, uint32_t sizeB, uint64_t maxTotal);

// One aligned 32-bit word of the segment: loads see the other process's last exchange.
uint32_t LoadWord(const void* pSegment, size_t offset);
// Publishes a word with a sequentially consistent exchange; returns the previous value.
uint32_t StoreWord(void* pSegment, size_t offset, uint32_t value);
// Exchanges the word only when it holds expected; true when it did.
bool CompareStoreWord(void* pSegment, size_t offset, uint32_t expected, uint32_t value);

} // namespace Segment

// A side's view of one ring of the segment: a lock-free byte queue with one producer and one
// consumer in different processes. The producer alone moves the write offset, the consumer alone
// the read offset, each published only after the bytes were copied. One byte always stays free so
// that a full ring differs from an empty one.
//
// The offsets live in memory that the other process writes, so they are checked on every use: an
// offset outside the ring marks the Buff corrupt and nothing is copied (the owner then drops the
// link) rather than reaching outside the segment.
class Buff
{
public:
    // pRing: the ring's first word (its write offset) inside the mapping, 4-byte aligned and
    // followed by 8 + capacity mapped bytes; capacity is 1 or more.
    Buff(void* pRing, uint32_t capacity);

    // How many bytes a write may add now (0 when corrupt).
    uint64_t BytesForWrite();

    // Appends the bytes (producer). At most what BytesForWrite promised; more is a caller fault.
    void Write(const void* pData, uint64_t size);

    // Takes every byte the ring holds (consumer); a null array when it holds none.
    Utils::ByteArray Read();

    uint32_t Capacity() const { return m_capacity; }

    // An offset outside the ring was seen; the ring must not be used any more.
    bool IsCorrupt() const { return m_corrupt; }

private:
    struct Offsets
    {
        uint32_t write;
        uint32_t read;
        uint64_t used;
    };

    // False (and corrupt) when an offset lies outside the ring.
    bool Load(Offsets& o);

    uint8_t* Data() const { return reinterpret_cast<uint8_t*>(m_pRing) + Segment::c_ringHeaderSize; }

    uint32_t* const m_pRing;
    const uint32_t m_capacity;
    // Room promised by BytesForWrite and not yet written: a consumer only ever adds room, so a
    // write within it that no longer fits means the consumer moved its offset backwards.
    uint64_t m_promised = 0;
    bool m_corrupt = false;
};

} // namespace QtSharedMemTransp
