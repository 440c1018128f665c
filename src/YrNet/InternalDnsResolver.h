#pragma once
#include <string>
#include <utility>
#include <boost/asio/io_context.hpp>
#include <boost/noncopyable.hpp>
#include "Utils/AliveCallback.h"
#include "Utils/ThreadContextChecker.h"
#include "YrNet/HostAddr.h"

namespace YrNet
{

// Name resolution for one socket, on the network thread. The lookup runs on the library's own
// resolver thread; the handler runs on the network thread and is dropped with this object.
template <class TProtocol>
class InternalDnsResolver : boost::noncopyable
{
public:
    typedef typename TProtocol::resolver Resolver;
    typedef typename Resolver::results_type Results;

    explicit InternalDnsResolver(boost::asio::io_context& io) : m_resolver(io) {}

    // The query is the host text with the service text, or the port in decimal when there is
    // none. handler(const boost::system::error_code&, const Results&).
    template <class THandler>
    void Resolve(const HostAddr& addr, THandler&& handler)
    {
        m_context.Assert();
        const std::string service = addr.Service().empty() ? std::to_string(addr.Port()) : addr.Service();
        m_resolver.async_resolve(addr.Host(), service, typename Resolver::flags(),
                                 m_alive.Wrap(std::forward<THandler>(handler)));
    }

private:
    Utils::ThreadContextChecker m_context;
    Utils::AliveCallback<> m_alive;
    Resolver m_resolver;
};

} // namespace YrNet
