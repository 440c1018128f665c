#pragma once
#include "YrNet/PeerCredentials.h"

namespace TestUtils
{

// While it lives, the socket query fails with error, as where a sandbox refuses it.
class SocketQueryRefused
{
public:
    explicit SocketQueryRefused(int error) { YrNet::detail::FailSocketQueryWith(error); }
    ~SocketQueryRefused() { YrNet::detail::FailSocketQueryWith(0); }
    SocketQueryRefused(const SocketQueryRefused&) = delete;
    SocketQueryRefused& operator=(const SocketQueryRefused&) = delete;
};

} // namespace TestUtils
