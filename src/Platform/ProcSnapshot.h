#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "ESS/Exception.h"
#include "Utils/IBasicInterface.h"

namespace Platform
{

// The threads of the current process at one moment (kernel thread ids), immutable.
class IProcSnapshot : public Utils::IBasicInterface
{
public:
    // The thread's nice value in decimal; "?" when the snapshot has no thread of that id.
    virtual std::string ThreadPriority(uint32_t id) const = 0;
    virtual int ThreadCount() const = 0;
    // 0 <= index < ThreadCount() (not checked).
    virtual uint32_t ThreadIdAt(int index) const = 0;
};

// Throws Win32::ToolHelpException when the thread list cannot be read.
std::unique_ptr<IProcSnapshot> CreateProcSnapshot();

} // namespace Platform

namespace Win32
{
ESS_DECLARE_EXCEPTION(ToolHelpException, ::ESS::Exception);
} // namespace Win32
