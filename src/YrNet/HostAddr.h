#pragma once
#include <cstdint>
#include <string>
#include <boost/asio/ip/address.hpp>
#include "ESS/Assert.h"

namespace YrNet
{

// A host as text (an IP literal or a DNS name, optionally with a service) plus a port. Names and
// literals travel the same way; the sockets decide at use time whether to convert or to resolve.
class HostAddr
{
public:
    // The textual host: host text and an optional service text (written "service://host").
    class Addr
    {
    public:
        Addr() = default;
        // Throws ESS::Exception "<text> is an incorrect address" on a malformed text.
        explicit Addr(const std::string& text);
        explicit Addr(const boost::asio::ip::address& address);

        const std::string& Host() const { return m_host; }
        const std::string& Service() const { return m_service; }

        friend bool operator==(const Addr& a, const Addr& b)
        {
            return a.m_host == b.m_host && a.m_service == b.m_service;
        }

    private:
        std::string m_host;
        std::string m_service;
    };

    enum SpecHost
    {
        LoopbackV4 = 0,  // "127.0.0.1"
        LoopbackV6 = 1,  // "::1"
        BroadcastV4 = 2, // "255.255.255.255"
        AnyV4 = 3,       // "0.0.0.0"
        AnyV6 = 4,       // "::"
    };

    // The empty address: what sockets report when they cannot tell.
    HostAddr() : m_port(-1) {}

    HostAddr(const std::string& text, int port) : m_addr(text), m_port(port) { ESS_ASSERT(IsConsistent()); }
    HostAddr(SpecHost host, int port) : m_addr(SpecHost2Str(host)), m_port(port)
    {
        ESS_ASSERT(IsConsistent());
    }
    HostAddr(const boost::asio::ip::address& address, int port) : m_addr(address), m_port(port)
    {
        ESS_ASSERT(IsConsistent());
    }

    static std::string SpecHost2Str(SpecHost host);

    bool IsEmpty() const { return m_port == -1 && m_addr.Host().empty() && m_addr.Service().empty(); }
    bool IsConsistent() const;

    const std::string& Host() const { return m_addr.Host(); }
    const std::string& Service() const { return m_addr.Service(); }
    int Port() const { return m_port; }
    const Addr& Address() const { return m_addr; }

    // For logs: "host:port", "service://host:port", "[v6]:port", or "<empty>".
    std::string ToString() const;

    friend bool operator==(const HostAddr& a, const HostAddr& b)
    {
        return a.m_addr == b.m_addr && a.m_port == b.m_port;
    }
    friend bool operator!=(const HostAddr& a, const HostAddr& b) { return !(a == b); }

private:
    Addr m_addr;
    int32_t m_port;
};

} // namespace YrNet
