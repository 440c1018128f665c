#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include "ESS/Assert.h"
#include "SessTranspLayer/StlPacket.h"

namespace VMware
{
namespace Shared
{

namespace Constants
{
// Largest packet the plug-in writes, and the largest chunk the host delivers, in bytes.
constexpr uint64_t c_defaultBufferLength = 1600;
// Largest message received: servers merge their program's writes (xrdp into messages of up to
// 32768 bytes), so a message may hold anything up to the largest session frame.
constexpr uint64_t c_largestReceivedMessage =
    SessTranspLayer::c_stlMaxPayload + SessTranspLayer::c_stlHeaderSize;
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
