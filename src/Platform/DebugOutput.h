#pragma once
#include <string>
#include <boost/function.hpp>

namespace Platform
{

// Diagnostic text for a debugger (the stack walker's reports). By default it goes to standard
// error when a debugger is attached or YR_DEBUG_OUTPUT is set in the environment, and is
// dropped otherwise.
void DebugOutput(const std::string& text);

typedef boost::function<void(const std::string&)> DebugOutputSink;

// Replaces the destination (an empty function restores the default); returns the previous one.
DebugOutputSink SetDebugOutputSink(const DebugOutputSink& sink);

} // namespace Platform
