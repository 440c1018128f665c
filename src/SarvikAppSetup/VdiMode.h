#pragma once
#include "YrMeta/SmartEnum.h"

namespace SarvikAppSetup
{

// The VDI environment the application runs in; its name is the first argument of the
// media-bridge process.
YRMETA_SMART_ENUM(VdiMode, (NonActive, 0), (Citrix, 1), (VMware, 2));

} // namespace SarvikAppSetup
