#pragma once
#include <boost/function.hpp>
#include "ESS/Assert.h"
#include "Utils/IBasicInterface.h"

namespace Utils
{

// Calls a function when it dies: cleanup on every way out of a scope.
class FuncRAII : public IVirtualDestroy
{
public:
    explicit FuncRAII(const boost::function<void()>& fn) : m_fn(fn) { ESS_ASSERT(m_fn); }
    FuncRAII(const FuncRAII&) = delete;
    FuncRAII& operator=(const FuncRAII&) = delete;

    // noexcept: an exception from the function ends the process (std::terminate).
    ~FuncRAII() noexcept override
    {
        if (m_fn)
            m_fn();
    }

protected:
    boost::function<void()> m_fn;
};

// A FuncRAII that can be disarmed: release on every early exit, keep on success.
class FuncRAIIReset : public FuncRAII
{
public:
    explicit FuncRAIIReset(const boost::function<void()>& fn) : FuncRAII(fn) {}

    void Reset() { m_fn.clear(); }
};

} // namespace Utils
