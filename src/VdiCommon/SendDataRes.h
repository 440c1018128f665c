#pragma once
// The result of one write to the virtual channel. The table itself lives with the smart-enumeration
// library (it is that library's reference enumeration and is tested there); this is its home for
// the channel code.
#include "YrMeta/SendDataRes.h"
