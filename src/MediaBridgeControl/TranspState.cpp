#include "MediaBridgeControl/TranspState.h"

namespace MediaBridgeControl
{

const YrMeta::EnumRawInfo& TranspState::StaticRawInfo()
{
    static const char* const c_names[] = {"Disconnected", "Connected", "FatalError"};
    static const int c_values[] = {Disconnected, Connected, FatalError};
    static const YrMeta::EnumRawInfo c_info = {c_names, c_values, 3};
    return c_info;
}

} // namespace MediaBridgeControl
