// The plug-in library's own unit. Its exports, VirtualChannelEntry (VMware/Client/VMwareEntry) and
// the COMBASE forwarding functions (Platform/SysLibs), and all of its code come from the modules
// it links whole; this unit only names the export that the host looks up.
#include "VMware/Client/VMwareEntry.h"

namespace
{
// The host finds the export by name; this checks at compile time that it keeps the host's type.
[[maybe_unused]] constexpr PVIRTUALCHANNELENTRY c_entry = &VirtualChannelEntry;
} // namespace
