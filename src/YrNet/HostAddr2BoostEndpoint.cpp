#include "YrNet/HostAddr2BoostEndpoint.h"

namespace YrNet
{

namespace
{

template <class TProtocol>
bool TryConvertEndPoint(const HostAddr& addr, typename TProtocol::endpoint& out)
{
    ESS_ASSERT(!addr.IsEmpty());
    if (!addr.Service().empty())
        return false;

    boost::system::error_code ec;
    const boost::asio::ip::address ip = boost::asio::ip::make_address(addr.Host(), ec);
    if (ec)
        return false; // a DNS name

    out =
        typename TProtocol::endpoint(ip, static_cast<uint16_t>(static_cast<uint32_t>(addr.Port()) & 0xFFFFu));
    return true;
}

} // namespace

bool TryConvertTcpEndPoint(const HostAddr& addr, boost::asio::ip::tcp::endpoint& out)
{
    return TryConvertEndPoint<boost::asio::ip::tcp>(addr, out);
}

bool TryConvertUdpEndPoint(const HostAddr& addr, boost::asio::ip::udp::endpoint& out)
{
    return TryConvertEndPoint<boost::asio::ip::udp>(addr, out);
}

} // namespace YrNet
