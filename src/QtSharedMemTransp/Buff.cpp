#include "QtSharedMemTransp/Buff.h"
#include <cstring>
#include "ESS/Assert.h"

namespace QtSharedMemTransp
{

namespace Segment
{

bool SizesValid(uint32_t sizeA, uint32_t sizeB, uint64_t maxTotal)
{
    return sizeA >= 1 && sizeB >= 1 && sizeA % 4 == 0 && TotalSize(sizeA, sizeB) <= maxTotal;
}

namespace
{
uint32_t* WordAt(const void* pSegment, size_t offset)
{
    ESS_ASSERT(offset % 4 == 0);
    return reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(static_cast<const uint8_t*>(pSegment)) + offset);
}
} // namespace

uint32_t LoadWord(const void* pSegment, size_t offset)
{
    return __atomic_load_n(WordAt(pSegment, offset), __ATOMIC_ACQUIRE);
}

uint32_t StoreWord(void* pSegment, size_t offset, uint32_t value)
{
    return __atomic_exchange_n(WordAt(pSegment, offset), value, __ATOMIC_SEQ_CST);
}

bool CompareStoreWord(void* pSegment, size_t offset, uint32_t expected, uint32_t value)
{
    return __atomic_compare_exchange_n(WordAt(pSegment, offset), &expected, value, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

} // namespace Segment

Buff::Buff(void* pRing, uint32_t capacity) : m_pRing(static_cast<uint32_t*>(pRing)), m_capacity(capacity)
{
    ESS_ASSERT(m_pRing);
    ESS_ASSERT(reinterpret_cast<uintptr_t>(m_pRing) % 4 == 0);
    ESS_ASSERT(m_capacity >= 1);
}

bool Buff::Load(Offsets& o)
{
    if (m_corrupt)
        return false;
    o.write = __atomic_load_n(&m_pRing[0], __ATOMIC_ACQUIRE);
    o.read = __atomic_load_n(&m_pRing[1], __ATOMIC_ACQUIRE);
    if (o.write >= m_capacity || o.read >= m_capacity)
    {
        m_corrupt = true;
        m_promised = 0;
        return false;
    }
    o.used = (o.write >= o.read) ? uint64_t(o.write - o.read) : uint64_t(o.write) + (m_capacity - o.read);
    return true;
}

uint64_t Buff::BytesForWrite()
{
    Offsets o;
    if (!Load(o))
        return 0;
    m_promised = m_capacity - o.used - 1;
    return m_promised;
}

void Buff::Write(const void* pData, uint64_t size)
{
    Offsets o;
    if (!Load(o))
        return;

    const uint64_t room = m_capacity - o.used - 1;
    if (room < size)
    {
        if (size > m_promised)
            ESS_HALT("BytesForWrite() >= size");
        // The caller kept to what it was told; the consumer took room back.
        m_corrupt = true;
        m_promised = 0;
        return;
    }
    m_promised = (m_promised > size) ? m_promised - size : 0;
    if (size == 0)
        return;

    const uint8_t* pSrc = static_cast<const uint8_t*>(pData);
    uint8_t* const pDst = Data();
    uint64_t next;
    const uint64_t tail = m_capacity - o.write;
    if (tail < size)
    {
        std::memcpy(pDst + o.write, pSrc, tail);
        const uint64_t currOffs = (o.write + tail) % m_capacity;
        ESS_ASSERT(currOffs == 0);
        std::memcpy(pDst, pSrc + tail, size - tail);
        next = size - tail;
    }
    else
    {
        std::memcpy(pDst + o.write, pSrc, size);
        next = o.write + size;
    }
    if (next == m_capacity)
        next = 0;

    // Published only now: the consumer may take the bytes once the offset says they are there.
    __atomic_exchange_n(&m_pRing[0], uint32_t(next), __ATOMIC_SEQ_CST);
}

Utils::ByteArray Buff::Read()
{
    Offsets o;
    if (!Load(o) || o.used == 0)
        return Utils::ByteArray();

    Utils::ByteArray res(o.used, o.used);
    uint8_t* const pDst = res.MutableData();
    const uint8_t* const pSrc = Data();
    uint64_t next;
    const uint64_t tail = m_capacity - o.read;
    if (tail < o.used)
    {
        std::memcpy(pDst, pSrc + o.read, tail);
        const uint64_t currOffs = (o.read + tail) % m_capacity;
        ESS_ASSERT(currOffs == 0);
        std::memcpy(pDst + tail, pSrc, o.used - tail);
        next = o.used - tail;
    }
    else
    {
        std::memcpy(pDst, pSrc + o.read, o.used);
        next = o.read + o.used;
    }
    if (next == m_capacity)
        next = 0;

    // Published after the copy: the producer may overwrite the bytes only once they are taken.
    __atomic_exchange_n(&m_pRing[1], uint32_t(next), __ATOMIC_SEQ_CST);
    return res;
}

} // namespace QtSharedMemTransp
