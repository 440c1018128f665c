#pragma once
#include <memory>
#include <string>
#include <boost/optional.hpp>
#include "Utils/IBasicInterface.h"
#include "YrMeta/SmartEnum.h"

namespace VMware
{
namespace Client
{

// The program the plug-in runs over its channel.
YRMETA_SMART_ENUM(VMwareClientEntryPoint, (Undefined, 0), (VMwareEchoTest, 1), (StartVdiMediaBridge, 2));

// The entry that the configuration's text names: the first name of the table equal to it (same
// length, same bytes, case-sensitive, no trimming); StartVdiMediaBridge when there is no text or
// it names no entry.
VMwareClientEntryPoint SelectEntryPoint(const boost::optional<std::string>& configured);

// Starts the entry chosen by "VMwareClientEntryPoint" and returns the object that keeps it alive.
// The programs register themselves under their entry's name (VdiCommon/EntryStarters.h): the relay
// as "StartVdiMediaBridge", the echo server as "VMwareEchoTest". An entry without a program
// (Undefined, or a program missing from the build) starts nothing and gives a null object, with an
// Error line saying so.
std::unique_ptr<Utils::IVirtualDestroy> VMwareExec();

} // namespace Client
} // namespace VMware
