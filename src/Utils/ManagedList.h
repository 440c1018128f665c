#pragma once
#include <cstdint>
#include <memory>
#include <vector>
#include "ESS/Assert.h"

namespace Utils
{

// An ordered list of heap objects it owns (with deleteItems) and deletes when they leave it.
// Every index is checked: a wrong one halts with a report instead of touching memory.
template <class T>
class ManagedList
{
public:
    explicit ManagedList(bool deleteItems = true, bool allowNullItems = false)
        : m_deleteItems(deleteItems), m_allowNullItems(allowNullItems)
    {
    }

    ~ManagedList() { Resize(0); }

    ManagedList(const ManagedList&) = delete;
    ManagedList& operator=(const ManagedList&) = delete;

    T* operator[](uint64_t index) const
    {
        ESS_ASSERT(index < m_list.size());
        return m_list[index];
    }

    // Ownership passes to the list (deleteItems), so the unique_ptr form says it in the type.
    void Add(std::unique_ptr<T> item) { Add(item.release()); }

    // The same for a caller that hands over a raw pointer it owns.
    void Add(T* item)
    {
        if (!m_allowNullItems)
        {
            ESS_ASSERT(item != 0);
        }
        try
        {
            m_list.push_back(item);
        }
        catch (...)
        {
            if (m_deleteItems)
            {
                delete item;
            }
            throw;
        }
    }

    // Shrinking deletes the elements cut off; growing appends null slots.
    void Resize(uint64_t newSize)
    {
        if (newSize == m_list.size())
        {
            return;
        }
        if (newSize < m_list.size())
        {
            DeleteRange(newSize, m_list.size());
        }
        else
        {
            ESS_ASSERT(m_allowNullItems);
            m_list.resize(newSize, nullptr);
        }
        ESS_ASSERT(m_list.size() == newSize);
    }

    // Deletes the elements in [from, to) and removes their slots.
    void DeleteRange(uint64_t from, uint64_t to)
    {
        ESS_ASSERT(from < m_list.size());
        ESS_ASSERT(to <= m_list.size());
        ESS_ASSERT(from <= to);

        for (uint64_t i = from; i < to; ++i)
        {
            DoDelete(i, false);
        }
        m_list.erase(m_list.begin() + from, m_list.begin() + to);
    }

    // Deletes one element (a null slot is skipped); erase also removes its slot.
    void DoDelete(uint64_t index, bool erase)
    {
        ESS_ASSERT(IndexInRange(index));

        if (m_deleteItems)
        {
            T* p = m_list[index];
            // The slot never keeps a pointer to a deleted object.
            m_list[index] = nullptr;
            delete p;
        }
        if (erase)
        {
            m_list.erase(m_list.begin() + index);
        }
    }

    uint64_t Size() const { return m_list.size(); }
    bool IsEmpty() const { return m_list.empty(); }

private:
    bool IndexInRange(uint64_t index) const { return index < m_list.size(); }

    bool m_deleteItems;
    bool m_allowNullItems;
    std::vector<T*> m_list;
};

} // namespace Utils
