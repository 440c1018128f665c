#pragma once
#include "YrMeta/SmartEnum.h"

namespace VdiCommon
{

// The result of one write to the virtual channel.
YRMETA_SMART_ENUM(SendDataRes, (Failed, 0), (Ok, 1), (TryLater, 2), (RemoteNotReady, 3));

} // namespace VdiCommon
