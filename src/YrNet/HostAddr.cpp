#include "YrNet/HostAddr.h"
#include "ESS/Exception.h"
#include "Utils/ManagedList.h"
#include "Utils/SplitString.h"
#include "Utils/StringUtils.h"

namespace YrNet
{

HostAddr::Addr::Addr(const std::string& text)
{
    Utils::ManagedList<std::string> pieces;
    Utils::SplitString(text, "://", pieces, true);
    if (pieces.Size() == 1)
    {
        m_host = *pieces[0];
    }
    else if (pieces.Size() == 2)
    {
        m_service = *pieces[0];
        m_host = *pieces[1];
    }
    else
    {
        ESS_THROW_MSG(ESS::Exception, Utils::LocaleStringToUnicode(text) + L" is an incorrect address");
    }
}

HostAddr::Addr::Addr(const boost::asio::ip::address& address)
{
    boost::system::error_code ec;
    m_host = address.to_string(ec);
    ESS_ASSERT(!ec);
}

std::string HostAddr::SpecHost2Str(SpecHost host)
{
    switch (host)
    {
    case LoopbackV4:
        return "127.0.0.1";
    case LoopbackV6:
        return "::1";
    case BroadcastV4:
        return "255.255.255.255";
    case AnyV4:
        return "0.0.0.0";
    case AnyV6:
        return "::";
    }
    ESS_HALT("Wrong enum");
}

bool HostAddr::IsConsistent() const
{
    const bool noHost = m_addr.Host().empty();
    const bool noService = m_addr.Service().empty();
    if (noHost && noService)
        return m_port == -1;
    if (!noService)
        return m_port != -1;
    return static_cast<uint32_t>(m_port) <= 65535u;
}

std::string HostAddr::ToString() const
{
    if (IsEmpty())
        return "<empty>";
    std::string res;
    if (!m_addr.Service().empty())
        res = m_addr.Service() + "://";
    if (m_addr.Host().find(':') != std::string::npos)
        res += "[" + m_addr.Host() + "]";
    else
        res += m_addr.Host();
    return res + ":" + std::to_string(m_port);
}

} // namespace YrNet
