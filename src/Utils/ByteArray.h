#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <boost/shared_ptr.hpp>
#include "ESS/Assert.h"
#include "Utils/LexicalCast.h"

namespace Utils
{

// The packet and buffer type: a value whose copies share one block until one of them
// writes. Capacity and size are separate; growth is explicit and exact.
class ByteArray
{
public:
    // The shared block.
    struct ByteArrayData
    {
        uint8_t* m_pData;
        uint64_t m_capacity;
        uint64_t m_size;
        // Bytes from the start that hold content (written or cleared); beyond them the block
        // holds whatever the heap left there, which no array may expose.
        uint64_t m_written;

        // Size grows to size: bytes never written are cleared first.
        void Expose(uint64_t size)
        {
            if (size > m_written)
            {
                std::memset(m_pData + m_written, 0, size - m_written);
                m_written = size;
            }
            m_size = size;
        }

        // Only the first size bytes are cleared: the rest is cleared when a Resize exposes it,
        // so a large block that is filled by appends costs no clearing at all.
        ByteArrayData(uint64_t capacity, uint64_t size)
        {
            ESS_ASSERT(size <= capacity);
            m_pData = new uint8_t[capacity];
            std::memset(m_pData, 0, size);
            m_capacity = capacity;
            m_size = size;
            m_written = size;
        }
        ByteArrayData(const ByteArrayData&) = delete;
        ByteArrayData& operator=(const ByteArrayData&) = delete;
        ~ByteArrayData() { delete[] m_pData; }
    };

    // Gives write access only after making the block private (copy-on-write).
    class DataWrap
    {
    public:
        ByteArrayData& Get()
        {
            ESS_ASSERT(m_data.get() != NULL);
            if (m_data.use_count() != 1)
            {
                boost::shared_ptr<ByteArrayData> copy(new ByteArrayData(m_data->m_capacity, m_data->m_size));
                std::memcpy(copy->m_pData, m_data->m_pData, m_data->m_size);
                m_data = std::move(copy);
            }
            return *m_data;
        }

        // Read access; never copies.
        const ByteArrayData& Get() const
        {
            ESS_ASSERT(m_data.get() != NULL);
            return *m_data;
        }

        bool IsNull() const { return m_data.get() == NULL; }
        const ByteArrayData* Peek() const { return m_data.get(); }
        long UseCount() const { return m_data.use_count(); }

        // Replaces the block; returns the old one so that a caller may keep it alive a while.
        boost::shared_ptr<ByteArrayData> Reset(ByteArrayData* pNew)
        {
            boost::shared_ptr<ByteArrayData> old = std::move(m_data);
            m_data.reset(pNew);
            return old;
        }

    private:
        boost::shared_ptr<ByteArrayData> m_data;
    };

    // A null array: no block, size 0.
    ByteArray() = default;

    // A copy of size bytes from data in a block of capacity bytes (0: exactly size).
    ByteArray(const void* data, uint64_t size, uint64_t capacity = 0)
    {
        if (capacity != 0)
            ESS_ASSERT(capacity >= size);
        m_data.Reset(new ByteArrayData(capacity != 0 ? capacity : size, 0));
        Append(data, size, false);
    }

    // size bytes equal to fill in a block of capacity bytes (0: exactly size).
    ByteArray(uint64_t size, uint8_t fill, uint64_t capacity)
    {
        if (capacity != 0)
            ESS_ASSERT(capacity >= size);
        m_data.Reset(new ByteArrayData(capacity != 0 ? capacity : size, 0));
        Fill(size, fill);
    }

    // A block of capacity bytes of which the first size are in use (content cleared).
    ByteArray(uint64_t capacity, uint64_t size) { m_data.Reset(new ByteArrayData(capacity, size)); }

    // The characters of s, without a terminating zero.
    explicit ByteArray(const std::string& s)
    {
        ESS_ASSERT(!s.empty());
        m_data.Reset(new ByteArrayData(s.size(), 0));
        Append(s.data(), s.size(), false);
    }

    bool IsNull() const { return m_data.IsNull(); }
    bool IsEmpty() const { return Size() == 0; }
    void AssertIsNotNull() const { ESS_ASSERT(!IsNull()); }

    uint64_t Size() const { return IsNull() ? 0 : m_data.Peek()->m_size; }
    uint64_t Capacity() const { return IsNull() ? 0 : m_data.Peek()->m_capacity; }

    // Read access; never copies. A reader of a non-const array says so with std::as_const.
    const uint8_t* Data() const
    {
        AssertIsNotNull();
        return m_data.Get().m_pData;
    }

    // Write access: when the block is shared with another array, it is copied whole first, so
    // the write never shows in the other copies.
    uint8_t* MutableData()
    {
        AssertIsNotNull();
        return m_data.Get().m_pData;
    }

    // The same as MutableData (it unshares too); kept for older callers. New code calls
    // MutableData to write and reads through a const array.
    uint8_t* Data() { return MutableData(); }

    void Append(const void* p, uint64_t size, bool grow)
    {
        ESS_ASSERT(p != NULL);
        if (IsNull())
            m_data.Reset(new ByteArrayData(size, 0));

        // p may point into this array's own block (an array appended to itself): the old
        // block is kept alive until its bytes have been copied.
        boost::shared_ptr<ByteArrayData> oldBlock;
        {
            ByteArrayData& cur = m_data.Get();
            // A size that wraps the sum would slip through the capacity check below.
            ESS_ASSERT(size <= std::numeric_limits<uint64_t>::max() - cur.m_size);
            const uint64_t needed = cur.m_size + size;
            if (cur.m_capacity < needed && grow)
            {
                ByteArrayData* pNew = new ByteArrayData(needed, cur.m_size);
                std::memcpy(pNew->m_pData, cur.m_pData, cur.m_size);
                oldBlock = m_data.Reset(pNew);
            }
        }

        ByteArrayData& ba = m_data.Get();
        // clang-format off
        ESS_ASSERT( ( ba.m_size + size ) <= ba.m_capacity );
        // clang-format on
        if (size != 0)
            std::memmove(ba.m_pData + ba.m_size, p, size);
        ba.m_size += size;
        ba.m_written = std::max(ba.m_written, ba.m_size);
    }

    void Append(const ByteArray& ba, bool grow)
    {
        ESS_ASSERT(!ba.IsNull());
        // ba may be this array itself: the pointer form keeps the source block alive.
        Append(ba.Data(), ba.Size(), grow);
    }

    // Sets the size within the capacity. Bytes the block never held content for come out
    // cleared; bytes of earlier content (beyond a smaller size) come back as they were.
    void Resize(uint64_t size)
    {
        AssertIsNotNull();
        ByteArrayData& ba = m_data.Get();
        ESS_ASSERT(size <= ba.m_capacity);
        ba.Expose(size);
    }

    // Sets the size to bytes the caller has just written, through MutableData, into the block's
    // spare capacity (a read straight into the buffer): they are taken as they are, not cleared.
    void ResizeWritten(uint64_t size)
    {
        AssertIsNotNull();
        ByteArrayData& ba = m_data.Get();
        ESS_ASSERT(size <= ba.m_capacity);
        ba.m_size = size;
        ba.m_written = std::max(ba.m_written, size);
    }

    void Fill(uint64_t size, uint8_t value)
    {
        AssertIsNotNull();
        ByteArrayData& ba = m_data.Get();
        ESS_ASSERT(size <= ba.m_capacity);
        std::memset(ba.m_pData, value, size);
        ba.m_size = size;
        ba.m_written = std::max(ba.m_written, size);
    }

    // Removes the first size bytes and returns them; the rest moves to the front, the
    // capacity stays. Other arrays sharing the block keep their content.
    ByteArray CutFromBegin(uint64_t size)
    {
        AssertIsNotNull();
        CheckCutSize(size);

        const ByteArrayData& cur = *m_data.Peek();
        ByteArray head(cur.m_pData, size, size);
        const uint64_t rest = cur.m_size - size;
        if (m_data.UseCount() == 1)
        {
            ByteArrayData& own = m_data.Get();
            std::memmove(own.m_pData, own.m_pData + size, rest);
            own.m_size = rest;
        }
        else
        {
            ByteArrayData* pNew = new ByteArrayData(cur.m_capacity, rest);
            std::memcpy(pNew->m_pData, cur.m_pData + size, rest);
            m_data.Reset(pNew);
        }
        return head;
    }

    // Hex dump for logs: bytes from offset on, at most maxBytes of them (0: all).
    std::string ToString(uint64_t maxBytes = 0, uint64_t offset = 0) const
    {
        if (IsNull() || Size() == 0)
            return std::string();
        ESS_ASSERT(offset <= Size());
        return DumpToHexStringLimited(Data() + offset, Size() - offset, maxBytes);
    }

    // Equal when both are empty, or when both hold the same bytes.
    friend bool operator==(const ByteArray& a, const ByteArray& b)
    {
        const uint64_t size = a.Size();
        if (size != b.Size())
            return false;
        if (size == 0)
            return true;
        return std::memcmp(a.Data(), b.Data(), size) == 0;
    }
    friend bool operator!=(const ByteArray& a, const ByteArray& b) { return !(a == b); }

private:
    // Checked without unsharing: a shared block is copied only once, by the cut itself.
    void CheckCutSize(uint64_t size) const { ESS_ASSERT(size <= m_data.Get().m_size); }

    DataWrap m_data;
};

} // namespace Utils
