#include <gtest/gtest.h>
#include "ESS/Exception.h"
#include "YrNet/HostAddr.h"
#include "YrNet/HostAddr2BoostEndpoint.h"

using YrNet::HostAddr;
namespace ip = boost::asio::ip;

namespace
{

std::wstring ThrownText(const std::string& text)
{
    try
    {
        HostAddr a(text, 80);
    }
    catch (const ESS::Exception& e)
    {
        return e.Message();
    }
    return L"<nothing thrown>";
}

} // namespace

TEST(HostAddrTest, ServiceAndHostAreSplitAtTheSeparator)
{
    const HostAddr a("svc://h.example", 0);
    EXPECT_EQ("svc", a.Service());
    EXPECT_EQ("h.example", a.Host());
    EXPECT_EQ(0, a.Port());
    EXPECT_TRUE(a.IsConsistent());
    EXPECT_FALSE(a.IsEmpty());

    // A service means resolution by name, never a literal endpoint.
    ip::tcp::endpoint ep(ip::make_address("10.1.2.3"), 7);
    EXPECT_FALSE(YrNet::TryConvertTcpEndPoint(a, ep));
    EXPECT_EQ(ip::tcp::endpoint(ip::make_address("10.1.2.3"), 7), ep); // untouched

    const HostAddr plain("127.0.0.1", 5000);
    EXPECT_EQ("127.0.0.1", plain.Host());
    EXPECT_EQ("", plain.Service());
    EXPECT_EQ(5000, plain.Port());
}

TEST(HostAddrTest, MalformedTextsThrowWithTheText)
{
    EXPECT_EQ(L" is an incorrect address", ThrownText(""));
    EXPECT_EQ(L":// is an incorrect address", ThrownText("://"));
    EXPECT_EQ(L"a://b://c is an incorrect address", ThrownText("a://b://c"));
    EXPECT_EQ(L"://:// is an incorrect address", ThrownText("://://"));
    // Empty pieces are skipped: a leading separator leaves just the host.
    const HostAddr a("://host", 1);
    EXPECT_EQ("host", a.Host());
    EXPECT_EQ("", a.Service());
}

TEST(HostAddrTest, ConsistencyOfTextsAndPort)
{
    EXPECT_TRUE(HostAddr().IsEmpty());
    EXPECT_TRUE(HostAddr().IsConsistent());
    EXPECT_EQ(-1, HostAddr().Port());
    EXPECT_TRUE(HostAddr("svc://h", 70000).IsConsistent());
    EXPECT_TRUE(HostAddr("127.0.0.1", 65535).IsConsistent());
    EXPECT_TRUE(HostAddr("127.0.0.1", 0).IsConsistent());
}

TEST(HostAddrDeathTest, InconsistentPortsHalt)
{
    EXPECT_DEATH({ HostAddr a("127.0.0.1", 65536); }, "IsConsistent\\(\\)");
    EXPECT_DEATH({ HostAddr a("127.0.0.1", -2); }, "IsConsistent\\(\\)");
    EXPECT_DEATH({ HostAddr a("127.0.0.1", -1); }, "IsConsistent\\(\\)");
    EXPECT_DEATH({ HostAddr a("svc://h", -1); }, "IsConsistent\\(\\)");
    EXPECT_DEATH({ HostAddr a(static_cast<HostAddr::SpecHost>(5), 1); }, "Wrong enum");
    EXPECT_DEATH(
        {
            ip::tcp::endpoint ep;
            YrNet::TryConvertTcpEndPoint(HostAddr(), ep);
        },
        "!addr.IsEmpty\\(\\)");
}

TEST(HostAddrTest, LiteralsConvertToEndpoints)
{
    ip::tcp::endpoint tcpEp;
    ASSERT_TRUE(YrNet::TryConvertTcpEndPoint(HostAddr("::1", 80), tcpEp));
    EXPECT_TRUE(tcpEp.address().is_v6());
    EXPECT_EQ(ip::make_address("::1"), tcpEp.address());
    EXPECT_EQ(80, tcpEp.port());

    ASSERT_TRUE(YrNet::TryConvertTcpEndPoint(HostAddr("127.0.0.1", 65535), tcpEp));
    EXPECT_EQ(ip::tcp::endpoint(ip::make_address("127.0.0.1"), 65535), tcpEp);

    ip::udp::endpoint udpEp;
    ASSERT_TRUE(YrNet::TryConvertUdpEndPoint(HostAddr("255.255.255.255", 9), udpEp));
    EXPECT_EQ(ip::make_address("255.255.255.255"), udpEp.address());
    EXPECT_EQ(9, udpEp.port());

    // The port is never taken from the text; such a host is a name to be resolved.
    const HostAddr withColon("127.0.0.1:80", 5);
    EXPECT_EQ("127.0.0.1:80", withColon.Host());
    EXPECT_FALSE(YrNet::TryConvertTcpEndPoint(withColon, tcpEp));
    EXPECT_FALSE(YrNet::TryConvertUdpEndPoint(HostAddr("localhost", 80), udpEp));
}

TEST(HostAddrTest, SpecialHostsAndLibraryAddresses)
{
    EXPECT_EQ("127.0.0.1", HostAddr::SpecHost2Str(HostAddr::LoopbackV4));
    EXPECT_EQ("::1", HostAddr::SpecHost2Str(HostAddr::LoopbackV6));
    EXPECT_EQ("255.255.255.255", HostAddr::SpecHost2Str(HostAddr::BroadcastV4));
    EXPECT_EQ("0.0.0.0", HostAddr::SpecHost2Str(HostAddr::AnyV4));
    EXPECT_EQ("::", HostAddr::SpecHost2Str(HostAddr::AnyV6));

    const HostAddr any(HostAddr::AnyV4, 0);
    EXPECT_EQ("0.0.0.0", any.Host());
    EXPECT_EQ(0, any.Port());

    const HostAddr v6(ip::make_address("fe80::1:2"), 443);
    EXPECT_EQ("fe80::1:2", v6.Host());
    EXPECT_EQ("", v6.Service());
    EXPECT_EQ(443, v6.Port());
    EXPECT_EQ(HostAddr("127.0.0.1", 8), HostAddr(ip::make_address("127.0.0.1"), 8));
    EXPECT_NE(HostAddr("127.0.0.1", 8), HostAddr("127.0.0.1", 9));
}
