#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include "ESS/Assert.h"
#include "Utils/IBasicInterface.h"

namespace Utils
{

class BaseSafeRef;

// The owner side of safe references: counts them.
class ISafeRefOwner : public IBasicInterface
{
public:
    virtual void IncSafeRef(BaseSafeRef* pRef) const = 0;
    virtual void DecSafeRef(BaseSafeRef* pRef) const = 0;
};

// Base of objects that a SafeRef may point at. Derive from it virtually. Destroying the
// object while references remain halts the process with a report instead of leaving
// dangling pointers behind.
class SafeRefServer : public virtual ISafeRefOwner
{
public:
    SafeRefServer() : m_refCount(0) {}
    // References belong to one object: a copy starts unreferenced, an assignment keeps them.
    SafeRefServer(const SafeRefServer&) : ISafeRefOwner(), m_refCount(0) {}
    SafeRefServer& operator=(const SafeRefServer&) { return *this; }
    ~SafeRefServer() override;

    void IncSafeRef(BaseSafeRef* pRef) const override;
    void DecSafeRef(BaseSafeRef* pRef) const override;

    // Current number of references; for diagnostics and tests.
    int32_t SafeRefCount() const { return m_refCount.load(); }

private:
    mutable std::atomic<int32_t> m_refCount;
    mutable std::string m_typeText; // most-derived type, set by the first reference
};

class BaseSafeRef
{
public:
    virtual std::string Info() const = 0;
    virtual ~BaseSafeRef() = default;
};

// A counted, non-owning reference to an object deriving from SafeRefServer.
template <class T>
class SafeRef : public BaseSafeRef
{
public:
    SafeRef() : m_pOwner(nullptr), m_pIntf(nullptr) {}

    SafeRef(T* p) : m_pOwner(OwnerOf(p)), m_pIntf(p) // implicit: a T* is handed over as a reference
    {
        if (m_pOwner)
            m_pOwner->IncSafeRef(this);
    }

    SafeRef(const SafeRef& other) : m_pOwner(other.m_pOwner), m_pIntf(other.m_pIntf)
    {
        if (m_pOwner)
            m_pOwner->IncSafeRef(this);
    }

    // From a reference to a derived interface or class.
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    SafeRef(const SafeRef<U>& other) : m_pOwner(other.Owner()), m_pIntf(other.Get())
    {
        if (m_pOwner)
            m_pOwner->IncSafeRef(this);
    }

    // Releases the old registration before taking the new one, so the count stays exact.
    SafeRef& operator=(const SafeRef& other)
    {
        if (this == &other)
            return *this;
        if (other.m_pOwner)
            other.m_pOwner->IncSafeRef(this);
        if (m_pOwner)
            m_pOwner->DecSafeRef(this);
        m_pOwner = other.m_pOwner;
        m_pIntf = other.m_pIntf;
        return *this;
    }

    ~SafeRef() override
    {
        if (m_pOwner)
            m_pOwner->DecSafeRef(this);
    }

    std::string Info() const override { return "<unsupported>"; }

    T* operator->() const
    {
        ESS_ASSERT(m_pIntf);
        return m_pIntf;
    }

    T& operator*() const
    {
        ESS_ASSERT(m_pIntf);
        return *m_pIntf;
    }

    bool IsEmpty() const { return m_pIntf == nullptr; }
    void Clear() { *this = SafeRef(); }

    // The raw target (may be null); it must not be kept beyond the reference.
    T* Get() const { return m_pIntf; }
    const ISafeRefOwner* Owner() const { return m_pOwner; }

    friend bool operator==(const SafeRef& r, const T* p) { return r.m_pIntf == p; }
    friend bool operator==(const T* p, const SafeRef& r) { return r.m_pIntf == p; }
    friend bool operator!=(const SafeRef& r, const T* p) { return r.m_pIntf != p; }
    friend bool operator!=(const T* p, const SafeRef& r) { return r.m_pIntf != p; }
    friend bool operator==(const SafeRef& a, const SafeRef& b) { return a.m_pIntf == b.m_pIntf; }
    friend bool operator!=(const SafeRef& a, const SafeRef& b) { return a.m_pIntf != b.m_pIntf; }

private:
    static const ISafeRefOwner* OwnerOf(T* p)
    {
        if (!p)
            return nullptr;
        if constexpr (std::is_convertible_v<T*, const ISafeRefOwner*>)
        {
            return p;
        }
        else
        {
            // An interface that does not itself derive from the server: the object behind it must.
            const ISafeRefOwner* pOwner = dynamic_cast<const ISafeRefOwner*>(p);
            ESS_ASSERT(pOwner != 0);
            return pOwner;
        }
    }

    const ISafeRefOwner* m_pOwner;
    T* m_pIntf;
};

} // namespace Utils
