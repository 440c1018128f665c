#pragma once
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include "YrNet/HostAddr.h"

namespace YrNet
{

// An IP literal without a service converts to an endpoint (port: the low 16 bits); anything else
// gives false with out untouched and must be resolved by name. Converting an empty address is a
// contract violation: test IsEmpty() first.
bool TryConvertTcpEndPoint(const HostAddr& addr, boost::asio::ip::tcp::endpoint& out);
bool TryConvertUdpEndPoint(const HostAddr& addr, boost::asio::ip::udp::endpoint& out);

} // namespace YrNet
