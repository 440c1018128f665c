#pragma once
#include <string>
#include "Utils/ExceptionInfo.h"

namespace ESS
{

// Ends the process when a guarded body let an exception escape: "Halt on unexpected exception",
// " at location " + location (when given), then the exception's one-line text.
[[noreturn]] void HaltOnUnexpected(const Utils::ExceptionInfo& info, const std::wstring& location);

} // namespace ESS
