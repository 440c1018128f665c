#pragma once
#include <memory>
#include <utility>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "ESS/Assert.h"
#include "Utils/ThreadContextChecker.h"

namespace Utils
{

namespace details
{
// Proxies are marked dead only on the owner's thread and read only there (by the callbacks),
// so the flag needs no lock. Whoever makes callbacks on other threads guards the making itself.
struct AliveCallbackStrategyThreadUnsafe
{
};
} // namespace details

// Makes completion handlers that are dropped silently once their owner has died or has reset
// them. Every callback keeps the proxy that was current when it was made; Reset and destruction
// kill that proxy. Callbacks run only on the owner's thread (asserted).
template <class TStrategy = details::AliveCallbackStrategyThreadUnsafe>
class AliveCallback : boost::noncopyable
{
public:
    class Proxy : boost::noncopyable
    {
    public:
        explicit Proxy(const std::shared_ptr<ThreadContextChecker>& checker)
            : m_alive(true), m_checker(checker)
        {
        }

        template <class... TArgs>
        boost::function<void(TArgs...)> MakeCallback(const std::shared_ptr<Proxy>& ptr,
                                                     const boost::function<void(TArgs...)>& f) const
        {
            ESS_ASSERT(ptr.get() == this);
            return Wrapped<boost::function<void(TArgs...)>>(ptr, f);
        }

        // Any callable; the result is a light handler object (no type erasure, no allocation
        // beyond the callable's own captures).
        template <class F>
        auto Wrap(const std::shared_ptr<Proxy>& ptr, F&& f) const
        {
            ESS_ASSERT(ptr.get() == this);
            return Wrapped<std::decay_t<F>>(ptr, std::forward<F>(f));
        }

        bool IsAlive() const { return m_alive; }
        void Kill() { m_alive = false; }
        const std::shared_ptr<ThreadContextChecker>& Checker() const { return m_checker; }

    private:
        bool m_alive;
        std::shared_ptr<ThreadContextChecker> m_checker;
    };

    // The handler object: checks the thread, then calls f only while its proxy lives.
    template <class F>
    class Wrapped
    {
    public:
        template <class G>
        Wrapped(const std::shared_ptr<Proxy>& proxy, G&& f) : m_proxy(proxy), m_fn(std::forward<G>(f))
        {
        }

        template <class... TArgs>
        void operator()(TArgs&&... args)
        {
            ESS_ASSERT(m_proxy->Checker());
            m_proxy->Checker()->Assert();
            if (m_proxy->IsAlive())
                m_fn(std::forward<TArgs>(args)...);
        }

    private:
        std::shared_ptr<Proxy> m_proxy;
        F m_fn;
    };

    // The owner's thread is the calling thread.
    AliveCallback()
        : m_checker(std::make_shared<ThreadContextChecker>()), m_proxy(std::make_shared<Proxy>(m_checker))
    {
    }

    ~AliveCallback()
    {
        m_checker->Assert();
        m_proxy->Kill();
    }

    // Kills every callback made so far; later ones are alive.
    void Reset()
    {
        m_checker->Assert();
        m_proxy->Kill();
        m_proxy = std::make_shared<Proxy>(m_checker);
    }

    template <class... TArgs>
    boost::function<void(TArgs...)> MakeCallback(const boost::function<void(TArgs...)>& f) const
    {
        return m_proxy->MakeCallback(m_proxy, f);
    }

    template <class F>
    auto Wrap(F&& f) const
    {
        return m_proxy->Wrap(m_proxy, std::forward<F>(f));
    }

    const std::shared_ptr<Proxy>& CurrentProxy() const { return m_proxy; }
    const ThreadContextChecker& Checker() const { return *m_checker; }

private:
    std::shared_ptr<ThreadContextChecker> m_checker;
    std::shared_ptr<Proxy> m_proxy;
};

} // namespace Utils
