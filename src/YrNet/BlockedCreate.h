#pragma once
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "ESS/Assert.h"
#include "Utils/SafeRef.h"
#include "YrNet/NetThread.h"

namespace YrNet
{

// Owns an object that is created, used and destroyed on the network thread, while the caller
// (a facade on a user thread) waits. Taking the network thread here is what creates it first.
template <class T>
class BlockedCreate : boost::noncopyable
{
public:
    BlockedCreate() : m_thread(NetThread::Instance()), m_pObj(nullptr) {}

    ~BlockedCreate() { Clear(); }

    // Destroys the held object and makes a new one with factory, both on the network thread, in
    // one round trip. An exception of the factory reaches the caller; nothing is held then.
    void Reset(const boost::function<T*()>& factory)
    {
        T* pOld = m_pObj;
        m_pObj = nullptr;
        T* pNew = nullptr;
        m_thread->RunBlocked(
            [pOld, &pNew, &factory]()
            {
                delete pOld;
                pNew = factory();
            });
        m_pObj = pNew;
        ESS_ASSERT(m_pObj != 0);
    }

    // Destroys the held object on the network thread; nothing is held afterwards.
    void Clear()
    {
        if (!m_pObj)
            return;
        T* pOld = m_pObj;
        m_pObj = nullptr;
        m_thread->RunBlocked([pOld]() { delete pOld; });
    }

    bool IsEmpty() const { return m_pObj == nullptr; }

    T* operator->()
    {
        ESS_ASSERT(m_pObj != 0);
        return m_pObj;
    }
    const T* operator->() const
    {
        ESS_ASSERT(m_pObj != 0);
        return m_pObj;
    }
    T& operator*()
    {
        ESS_ASSERT(m_pObj != 0);
        return *m_pObj;
    }
    const T& operator*() const
    {
        ESS_ASSERT(m_pObj != 0);
        return *m_pObj;
    }

    NetThread& Thread() const { return *m_thread; }

private:
    Utils::SafeRef<NetThread> m_thread;
    T* m_pObj;
};

} // namespace YrNet
