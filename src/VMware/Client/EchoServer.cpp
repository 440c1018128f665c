#include "VMware/Client/EchoServer.h"
#include <cstdio>
#include <mutex>
#include <boost/bind/bind.hpp>
#include <fmt/format.h>
#include "ESS/Assert.h"
#include "VMware/Client/DriverCore.h"
#include "VdiCommon/EntryStarters.h"
#include "iCore/ThreadRunnerFunc.h"

namespace Tests
{
namespace Vdi
{
namespace Client
{

VdiTestEchoServer::VdiTestEchoServer(const VdiCommon::LlTransportCreator& llCreateCallback)
    : iCore::MsgObject(iCore::MsgObject::OwnedByThread), m_log(YrLogV2::LogRoot::RootLog(), "EchoServer"),
      m_expected(0), m_maxPacketSize(0)
{
    ESS_ASSERT(llCreateCallback);
    m_transport = llCreateCallback(VdiCommon::LlEnvToCreate(getMsgThread(), m_log, *this));
    if (m_transport)
    {
        m_transport->Start();
        Show("EchoServer starting.");
        return;
    }
    m_log.Add(YrLogV2::Info, "Something went wrong, cannot create Citrix env");
    iCore::CurrentMsgThread().RequestExit();
}

VdiTestEchoServer::~VdiTestEchoServer()
{
    m_transport.reset();
}

void VdiTestEchoServer::OnConnected(bool connected, uint64_t maxPacketSize)
{
    Show(fmt::format("OnConnected: {}", connected ? "true" : "false"));
    m_log.Add(YrLogV2::Info, "Client side max buffer lenght: {}", maxPacketSize);
    m_expected = 0;
    m_maxPacketSize = maxPacketSize;
}

void VdiTestEchoServer::OnDataReceived(const Utils::ByteArray& packet)
{
    m_log.Add(YrLogV2::Info, "OnDataReceived, packet size: {}", packet.Size());
    CheckSequence(packet);
    PutMsg(&VdiTestEchoServer::EchoPacket, packet);
}

void VdiTestEchoServer::CheckSequence(const Utils::ByteArray& packet)
{
    const uint64_t count = packet.Size() / 4;
    const uint8_t* p = count ? packet.Data() : nullptr;
    for (uint64_t i = 0; i < count; ++i, p += 4)
    {
        const uint32_t value =
            uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
        if (value != m_expected)
        {
            Show(fmt::format("Test failed. Invalid number sequence, expected {}, actual {}.", m_expected,
                             value));
            break;
        }
        if (++m_expected == c_echoTotal)
        {
            Show(fmt::format("Packet received, percent: {}", 100.0));
            Show("===========================");
            m_expected = 0;
            return;
        }
    }
    Show(fmt::format("Packet received, percent: {:.{}f}", double(m_expected) * 100 / c_echoTotal, 1));
}

std::vector<Utils::ByteArray> VdiTestEchoServer::SplitPacket(const Utils::ByteArray& packet,
                                                             uint64_t pieceSize)
{
    ESS_ASSERT(pieceSize > 0);
    std::vector<Utils::ByteArray> pieces;
    for (uint64_t off = 0; off < packet.Size(); off += pieceSize)
    {
        const uint64_t n = std::min(pieceSize, packet.Size() - off);
        pieces.emplace_back(packet.Data() + off, n);
    }
    return pieces;
}

void VdiTestEchoServer::EchoPacket(Utils::ByteArray packet)
{
    // The channel takes packets of 1 byte up to the announced size; without an announced size the
    // channel is not open and there is nothing to echo into.
    if (packet.IsEmpty())
        return;
    if (m_maxPacketSize == 0)
    {
        m_log.Add(YrLogV2::Warning, "Echo of {} bytes dropped: the channel is not connected", packet.Size());
        return;
    }
    const VdiCommon::ILowLevelTransport::SendCallback cb =
        boost::bind(&VdiTestEchoServer::OnSendResult, this, boost::placeholders::_1);
    if (packet.Size() <= m_maxPacketSize)
    {
        m_transport->SendPacket(packet, cb);
        return;
    }
    for (const Utils::ByteArray& piece : SplitPacket(packet, m_maxPacketSize))
        m_transport->SendPacket(piece, cb);
}

void VdiTestEchoServer::OnSendResult(const VdiCommon::SendDataRes& res)
{
    m_log.Add(YrLogV2::Info, "SendDataRes: {}", res.ToString());
}

void VdiTestEchoServer::Show(const std::string& line)
{
    m_log.Add(YrLogV2::Info, "{}", line);
    static std::mutex s_out;
    std::lock_guard<std::mutex> lock(s_out);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace Client
} // namespace Vdi
} // namespace Tests

namespace VMware
{
namespace Client
{

namespace
{

// Owns the echo thread; its destruction stops and joins it.
class EchoServerRunner : public Utils::IVirtualDestroy
{
public:
    EchoServerRunner()
        : m_runner(iCore::ThreadRunnerFuncProfile(0, "EchoServer", 2, 0, 0, false),
                   [](iCore::MsgThread& thread)
                   {
                       new Tests::Vdi::Client::VdiTestEchoServer(
                           [](const VdiCommon::LlEnvToCreate& env)
                           { return CreateLowLevelTransport(env.m_thread, env.m_log, env.m_events); });
                   })
    {
    }

private:
    iCore::ThreadRunnerFunc m_runner;
};

const VdiCommon::EntryStarterRegistrar g_echoEntry("VMwareEchoTest", &StartEchoTest);

} // namespace

std::unique_ptr<Utils::IVirtualDestroy> StartEchoTest()
{
    return std::make_unique<EchoServerRunner>();
}

} // namespace Client
} // namespace VMware
