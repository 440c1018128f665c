#pragma once
#include <utility>
#include "Utils/IBasicInterface.h"

namespace Utils
{

// A unit of work handed to a guard that runs it.
class IExecutor : public IBasicInterface
{
public:
    virtual void Execute() = 0;
};

// An executor over any callable (lambda, boost::function<void()>); built on the caller's stack.
template <class F>
class ExecuterWrapper : public IExecutor
{
public:
    explicit ExecuterWrapper(F fn) : m_fn(std::move(fn)) {}

    void Execute() override { m_fn(); }

private:
    F m_fn;
};

template <class F>
ExecuterWrapper<F> MakeExecuter(F fn)
{
    return ExecuterWrapper<F>(std::move(fn));
}

} // namespace Utils
