#pragma once
#include <cstdint>
#include <memory>
#include <boost/noncopyable.hpp>
#include "Utils/ExceptionInfo.h"
#include "Utils/IExecutor.h"

namespace Platform
{

enum OsTryCatchType : int32_t
{
    // Only thrown exceptions; fault signals pass on to the unhandled-fault filter.
    enOsTCTRegular = 0,
    // The same as enOsTCTRegular; what threads pass.
    enOsTCTDefault = 1,
    // Thrown exceptions and the synchronous fault signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP).
    enOsTCTAllWindows = 2,
};

// Runs the work under the guard of the given kind. Null when the work returned; otherwise the
// description of what was caught. What the guard does not catch passes through unchanged.
// A fault caught by enOsTCTAllWindows leaves the work with siglongjmp: destructors of the
// frames between the fault and the guard do not run.
std::unique_ptr<Utils::ExceptionInfo> OsTryCatch(Utils::IExecutor& executor, OsTryCatchType catchType);

// Opaque details of a fault that the halt path carries to the crash hook.
class SysExceptionInfoBase : boost::noncopyable
{
public:
    virtual ~SysExceptionInfoBase() = default;
};

} // namespace Platform
