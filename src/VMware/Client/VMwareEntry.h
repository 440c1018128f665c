#pragma once
#include <cstdint>
#include "VMware/Shared/VirtualChannel.h"

// The plug-in's channel export: the host calls it once, with its table of channel functions.
// TRUE when the channel is registered and the plug-in's application and entry run.
extern "C" __attribute__((visibility("default"))) int32_t
VirtualChannelEntry(PCHANNEL_ENTRY_POINTS pEntryPoints);

namespace VMware
{
namespace Client
{

// The start-up behind the export; nothing escapes it as an exception.
bool InitializeDriver(PCHANNEL_ENTRY_POINTS pEntryPoints);

// Validates the table (its four function pointers) and makes the process-wide driver, which
// registers the channel. False, with the driver left as it was, when the table is invalid or the
// registration fails.
bool InitDriverInstance(PCHANNEL_ENTRY_POINTS pEntryPoints);

} // namespace Client
} // namespace VMware
