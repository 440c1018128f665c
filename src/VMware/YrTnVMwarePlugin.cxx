// The plug-in library's own unit. Its exports, VirtualChannelEntry and VirtualChannelEntryEx
// (VMware/Client/VMwareEntry) and the COMBASE forwarding functions (Platform/SysLibs), and all of
// its code come from the modules it links whole; this unit only names the exports that the host
// looks up.
#include "VMware/Client/VMwareEntry.h"

namespace
{
// The host finds the exports by name; this checks at compile time that they keep the host's types.
[[maybe_unused]] constexpr PVIRTUALCHANNELENTRY c_entry = &VirtualChannelEntry;
[[maybe_unused]] constexpr PVIRTUALCHANNELENTRYEX c_entryEx = &VirtualChannelEntryEx;
} // namespace
