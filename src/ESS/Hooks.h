#pragma once
#include <boost/noncopyable.hpp>
#include "ESS/Exception.h"

namespace ESS
{

// Sees every program exception and assertion at the moment it is raised, before anybody can
// catch it. A hook stops the walk by throwing BreakHookChain, or makes the raising site throw
// its own exception instead by throwing HookRethrow; anything else it throws halts the process.
class ExceptionHook : boost::noncopyable
{
public:
    virtual ~ExceptionHook() = default;
    virtual void Hook(const BaseException* e) = 0;
};

// Adds the hook at the front of the list: the newest hook runs first. The hook stays owned by
// the caller, who unregisters it before destroying it.
void RegisterHook(ExceptionHook* pHook);
void UnregisterHook(ExceptionHook* pHook);

} // namespace ESS
