#pragma once
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/make_shared.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "ESS/Assert.h"
#include "Utils/IBasicInterface.h"
#include "Utils/VectorUtils.h"

namespace Utils
{

namespace details
{

// Guards a notification that is used from several threads; recursive so that a subscriber
// may be notified while its own thread holds the lock.
class NotificationStrategyThreadSafe
{
public:
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// For notifications whose subscribers come and go on one thread before any notification.
class NotificationStrategyThreadUnsafe
{
public:
    void Lock() {}
    void Unlock() {}
};

template <class Strategy>
class StrategyLock : boost::noncopyable
{
public:
    explicit StrategyLock(Strategy& s) : m_s(s) { m_s.Lock(); }
    ~StrategyLock() { m_s.Unlock(); }

private:
    Strategy& m_s;
};

} // namespace details

// A subscription: it lasts as long as any copy of the handle lives.
class NotificationHandle
{
public:
    NotificationHandle() = default;
    explicit NotificationHandle(const boost::shared_ptr<IVirtualDestroy>& impl) : m_impl(impl) {}

    bool IsEmpty() const { return !m_impl; }
    void Reset() { m_impl.reset(); }

private:
    boost::shared_ptr<IVirtualDestroy> m_impl;
};

// An observer list. It does not own its entries: each entry dies with the last copy of its
// handle and takes itself out of the list then.
template <class T, class Strategy>
class Notification : boost::noncopyable
{
public:
    using Fn = boost::function<void(T)>;
    using CountFn = boost::function<void(int32_t)>;

    class HandleImpl : boost::noncopyable, public IVirtualDestroy
    {
    public:
        using Remover = boost::function<void(HandleImpl*)>;

        HandleImpl(const Fn& fn, const Remover& remover) : m_fn(fn), m_remover(remover) {}
        ~HandleImpl() override { m_remover(this); }

        const Fn& Function() const { return m_fn; }

    private:
        Fn m_fn;
        Remover m_remover;
    };

    explicit Notification(const CountFn& countFn = CountFn()) : m_countFn(countFn) {}

    ~Notification()
    {
        // Every handle must be gone first: a live one would take itself out of a dead list.
        ESS_ASSERT(m_list.empty());
    }

    // flag: when the handle is released from inside a walk on the walking thread, the flag is
    // set instead of the release being fatal; the entry then leaves the list when the walk ends.
    NotificationHandle CreateHandle(const Fn& fn, bool* flag = nullptr)
    {
        details::StrategyLock<Strategy> lock(m_strategy);
        ESS_ASSERT(!m_readOnlyMode);
        ESS_ASSERT(fn);

        auto impl = boost::make_shared<HandleImpl>(
            fn, boost::bind(&Notification::Remove, this, boost::placeholders::_1, flag));
        m_list.push_back(impl.get());
        CallCount();
        return NotificationHandle(impl);
    }

    // Calls the visitor for every entry, in subscription order.
    void ForeachItem(const boost::function<void(HandleImpl*)>& visitor)
    {
        details::StrategyLock<Strategy> lock(m_strategy);
        ESS_ASSERT(!m_readOnlyMode);

        m_readOnlyMode = true;
        WalkEnd walkEnd(*this);
        // Entries released during the walk are nulled, never erased, so indices stay valid.
        for (size_t i = 0; i < m_list.size(); ++i)
        {
            if (m_list[i] != nullptr)
                visitor(m_list[i]);
        }
    }

    // Calls every subscriber with the value.
    void Notify(const T& value)
    {
        ForeachItem([&value](HandleImpl* p) { p->Function()(value); });
    }

    int32_t Size() const
    {
        details::StrategyLock<Strategy> lock(m_strategy);
        return static_cast<int32_t>(
            std::count_if(m_list.begin(), m_list.end(), [](HandleImpl* p) { return p; }));
    }

private:
    // Leaves read-only mode and drops the entries released during the walk, also when a
    // subscriber throws.
    class WalkEnd : boost::noncopyable
    {
    public:
        explicit WalkEnd(Notification& owner) : m_owner(owner) {}
        ~WalkEnd()
        {
            m_owner.m_readOnlyMode = false;
            if (m_owner.m_releasedInWalk)
            {
                m_owner.m_releasedInWalk = false;
                m_owner.m_list.erase(std::remove(m_owner.m_list.begin(), m_owner.m_list.end(), nullptr),
                                     m_owner.m_list.end());
            }
        }

    private:
        Notification& m_owner;
    };

    void Remove(HandleImpl* p, bool* flag)
    {
        details::StrategyLock<Strategy> lock(m_strategy);
        if (m_readOnlyMode)
        {
            if (flag == nullptr)
                ESS_HALT("Read only mode");
            *flag = true;
            auto pos = std::find(m_list.begin(), m_list.end(), p);
            ESS_ASSERT(pos != m_list.end());
            *pos = nullptr;
            m_releasedInWalk = true;
            CallCount();
            return;
        }
        // clang-format off
        ESS_ASSERT(RemoveAllByValue( m_list, p ) == 1);
        // clang-format on
        CallCount();
    }

    void CallCount()
    {
        if (m_countFn)
            m_countFn(Size());
    }

    mutable Strategy m_strategy;
    std::vector<HandleImpl*> m_list;
    CountFn m_countFn;
    bool m_readOnlyMode = false;
    bool m_releasedInWalk = false;
};

} // namespace Utils
