#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include "ESS/Assert.h"

namespace VMware
{
namespace Shared
{

namespace Constants
{
// Largest packet in either direction of the channel, in bytes.
constexpr uint64_t c_defaultBufferLength = 1600;
// Most writes outstanding at the host at one time.
constexpr uint64_t c_llLimitSimultaneousSendItems = 1000;
// Above this many outstanding writes one warning is logged per process.
constexpr uint64_t c_sendListWarnSize = 32;
// The channel's name (7 characters: it fits the 8-byte name field with its terminator).
constexpr const char* c_channelName = "YrTnVCh";
} // namespace Constants

// Copies text into a fixed char array without a terminator of its own; the caller zero-fills.
template <std::size_t TArrSize>
void ArrCopy(char (&dst)[TArrSize], const std::string& src)
{
    ESS_ASSERT(TArrSize >= src.size());
    std::memcpy(dst, src.data(), src.size());
}

} // namespace Shared
} // namespace VMware
