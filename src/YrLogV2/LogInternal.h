#pragma once
// Internal to the log library.
#include <string>
#include "YrLogV2/LogOutput.h"
#include "YrLogV2/LogRootImpl.h"

namespace YrLogV2
{
namespace details
{

// The root, which exists whenever a handle does.
LogRootImpl& Root();

// The calling thread's registered name, or its id in decimal.
std::string CurrentThreadText();

// A record of node stamped now, on the calling thread.
LogRecord MakeRecord(const Node& node, const Tag& tag, std::string&& text);

} // namespace details
} // namespace YrLogV2
