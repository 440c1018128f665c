#pragma once
#include <string>

namespace Platform
{

// The calling thread's stack as 8-bit text, one frame a line.
std::string CaptureStackTrace();

} // namespace Platform
