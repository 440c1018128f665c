#pragma once
#include <cstdint>
#include "VMware/Shared/VirtualChannel.h"

// The plug-in's channel export: the host calls it once, with its table of channel functions.
// TRUE when the channel is registered and the plug-in's application and entry run.
extern "C" __attribute__((visibility("default"))) int32_t
VirtualChannelEntry(PCHANNEL_ENTRY_POINTS pEntryPoints);

// The extended export beside it (a host that has it calls it instead): the same start-up over
// the extended table, whose writes the host takes from any thread. Whichever of the two is called
// first starts the plug-in; a second call of either is refused.
extern "C" __attribute__((visibility("default"))) int32_t
VirtualChannelEntryEx(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle);

namespace VMware
{
namespace Client
{

// The start-up behind each export; nothing escapes it as an exception.
bool InitializeDriver(PCHANNEL_ENTRY_POINTS pEntryPoints);
bool InitializeDriverEx(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle);

// Validates the table (its four function pointers) and makes the process-wide driver, which
// registers the channel. False, with the driver left as it was, when the table is invalid or the
// registration fails.
bool InitDriverInstance(PCHANNEL_ENTRY_POINTS pEntryPoints);
// The same for the extended table, which also needs the host's init handle.
bool InitDriverInstanceEx(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle);

} // namespace Client
} // namespace VMware
