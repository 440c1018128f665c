#pragma once
#include <cstdint>
#include <memory>
#include <vector>
#include <boost/function.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "VdiCommon/ILowLevelTransport.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"

namespace VMware
{
namespace Client
{

// The echo program over the channel (entry "VMwareEchoTest"): runs the echo server on a message
// thread "EchoServer" of its own; destroying the object stops and joins that thread.
std::unique_ptr<Utils::IVirtualDestroy> StartEchoTest();

} // namespace Client
} // namespace VMware

namespace Tests
{
namespace Vdi
{
namespace Client
{

// Counters of one test cycle (0 to c_echoTotal - 1), carried by the peer's packets as unsigned
// 32-bit little-endian numbers.
const uint32_t c_echoTotal = 10000;

// Checks that the peer's packets carry an unbroken sequence of counters, shows its progress, and
// sends every packet back unchanged, cut into pieces of the announced size when it is larger.
// Lives on its thread (owned by it) and talks to the channel only through the low-level transport.
class VdiTestEchoServer : public iCore::MsgObject, public VdiCommon::ILowLevelTransportEvents
{
public:
    explicit VdiTestEchoServer(const VdiCommon::LlTransportCreator& llCreateCallback);
    ~VdiTestEchoServer() override;

    uint32_t Expected() const { return m_expected; }
    uint64_t AnnouncedSize() const { return m_maxPacketSize; }

    // Pieces of at most pieceSize bytes, in order (the last one holds the rest).
    static std::vector<Utils::ByteArray> SplitPacket(const Utils::ByteArray& packet, uint64_t pieceSize);

private:
    // VdiCommon::ILowLevelTransportEvents
    void OnConnected(bool connected, uint64_t maxPacketSize) override;
    void OnDataReceived(const Utils::ByteArray& packet) override;

    void CheckSequence(const Utils::ByteArray& packet);
    void EchoPacket(Utils::ByteArray packet);
    void OnSendResult(const VdiCommon::SendDataRes& res);

    // Logs the line at Info and writes it to standard output.
    void Show(const std::string& line);

    std::unique_ptr<VdiCommon::ILowLevelTransport> m_transport;
    YrLogV2::Log m_log;
    uint32_t m_expected;
    uint64_t m_maxPacketSize;
};

} // namespace Client
} // namespace Vdi
} // namespace Tests
