#include "Platform/OsTryCatch.h"
#include <cxxabi.h>
#include "ESS/Assert.h"
#include "Platform/FaultSignals.h"
#include "Platform/WinExcept.h"

namespace Platform
{

namespace
{

// Kept out of line: sigsetjmp must return into a frame that is still alive when the fault
// dispatcher jumps back, and nothing here changes after sigsetjmp.
__attribute__((noinline)) bool RunGuarded(Utils::IExecutor& executor, detail::FaultGuard& guard)
{
    detail::PushFaultGuard(guard);
    if (sigsetjmp(guard.jump, 1) != 0)
        return true; // the dispatcher filled the info and unlinked the guard
    executor.Execute();
    detail::PopFaultGuard(guard);
    return false;
}

// The description of the exception being handled. A thrown exception was unwound before it
// reached us, so its raise site is not known: address 0, no stack (program exceptions carry
// their own stack in their text).
Utils::ExceptionInfo AnalyseCurrentException()
{
    return WinExcept::MakeSysExceptionInfo(WinExcept::MakeCppPointers(std::current_exception(), nullptr));
}

} // namespace

std::unique_ptr<Utils::ExceptionInfo> OsTryCatch(Utils::IExecutor& executor, OsTryCatchType catchType)
{
    if (catchType == enOsTCTDefault)
        catchType = enOsTCTRegular;
    // clang-format off
    ESS_ASSERT( ( ( catchType == enOsTCTRegular ) || ( catchType == enOsTCTAllWindows ) ) && "Incorrect catch type" );
    // clang-format on

    Utils::ExceptionInfo info;
    bool caught = false;
    if (catchType == enOsTCTAllWindows)
    {
        InstallFaultDispatcher();
        detail::FaultGuard guard;
        guard.info = &info;
        try
        {
            caught = RunGuarded(executor, guard);
        }
        catch (abi::__forced_unwind&)
        {
            detail::PopFaultGuard(guard);
            throw; // thread cancellation must go on unwinding
        }
        catch (...)
        {
            detail::PopFaultGuard(guard);
            info = AnalyseCurrentException();
            caught = true;
        }
    }
    else
    {
        // Faults are not caught here: they go on to the unhandled-fault filter.
        try
        {
            executor.Execute();
        }
        catch (abi::__forced_unwind&)
        {
            throw;
        }
        catch (...)
        {
            info = AnalyseCurrentException();
            caught = true;
        }
    }

    if (!caught)
        return nullptr;
    return std::make_unique<Utils::ExceptionInfo>(info);
}

} // namespace Platform
