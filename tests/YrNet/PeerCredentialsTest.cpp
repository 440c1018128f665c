#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include "YrNet/PeerCredentials.h"

#include "common/SocketQueryRefused.h"

namespace
{

// A loopback TCP connection made inside this process: the accepted end and the connecting end.
// `mapped`: an IPv4 socket connects to an IPv6 listener, which sees it as ::ffff:127.0.0.1.
struct LoopbackPair
{
    int listener = -1;
    int accepted = -1;
    int connecting = -1;
    int error = 0; // of the step that failed

    explicit LoopbackPair(int family = AF_INET, bool mapped = false)
    {
        sockaddr_storage a{};
        socklen_t len = sizeof(a);
        if (family == AF_INET)
        {
            auto& in = reinterpret_cast<sockaddr_in&>(a);
            in.sin_family = AF_INET;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        else
        {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_loopback;
            if (mapped)
                ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &in6.sin6_addr);
        }
        auto* sa = reinterpret_cast<sockaddr*>(&a);
        listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || ::bind(listener, sa, len) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, sa, &len) != 0)
        {
            error = errno;
            return;
        }
        if (mapped)
        {
            const uint16_t port = reinterpret_cast<sockaddr_in6&>(a).sin6_port;
            a = sockaddr_storage{};
            auto& in = reinterpret_cast<sockaddr_in&>(a);
            in.sin_family = AF_INET;
            in.sin_port = port;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(in);
        }
        connecting = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(connecting, sa, len) == 0)
            accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0)
            error = errno;
    }
    ~LoopbackPair()
    {
        for (int fd : {listener, accepted, connecting})
            if (fd >= 0)
                ::close(fd);
    }

    // No socket has the inode given when there is none to look at.
    uint64_t ConnectingInode() const
    {
        struct stat st = {};
        return ::fstat(connecting, &st) == 0 ? uint64_t(st.st_ino) : ~uint64_t(0);
    }
};

TEST(PeerCredentialsTest, LoopbackPeerIsTheConnectingSocketAndOnlyItsHoldersHoldIt)
{
    LoopbackPair pair;
    ASSERT_GE(pair.accepted, 0);
    const YrNet::PeerCredentials peer = YrNet::ReadPeerCredentials(pair.accepted);
    ASSERT_TRUE(peer.known);
    EXPECT_EQ(::getuid(), peer.uid);
    EXPECT_EQ(0, peer.pid); // not looked for
    EXPECT_EQ(0, peer.queryError);
    EXPECT_EQ(pair.ConnectingInode(), peer.inode);
    EXPECT_TRUE(YrNet::ProcessHoldsSocket(::getpid(), peer.inode));

    // A child that keeps its copy of the socket holds it; one that closed its copy does not.
    int gate[2], ready[2];
    ASSERT_EQ(0, ::pipe(gate));
    ASSERT_EQ(0, ::pipe(ready));
    auto child = [&](bool closeSocket)
    {
        const pid_t pid = ::fork();
        if (pid != 0)
            return pid;
        char c = 'r';
        if (closeSocket)
            ::close(pair.connecting);
        ::close(gate[1]);
        (void)::write(ready[1], &c, 1);
        (void)::read(gate[0], &c, 1); // until the parent has looked
        ::_exit(0);
    };
    const pid_t keeper = child(false);
    const pid_t closer = child(true);
    ASSERT_GT(keeper, 0);
    ASSERT_GT(closer, 0);
    char c[2];
    ASSERT_EQ(1, ::read(ready[0], c, 1));
    ASSERT_EQ(1, ::read(ready[0], c + 1, 1));
    EXPECT_TRUE(YrNet::ProcessHoldsSocket(keeper, peer.inode));
    EXPECT_FALSE(YrNet::ProcessHoldsSocket(closer, peer.inode));
    EXPECT_FALSE(YrNet::ProcessHoldsSocket(0, peer.inode));
    ::close(gate[1]);
    ::waitpid(keeper, nullptr, 0);
    ::waitpid(closer, nullptr, 0);
    for (int fd : {gate[0], ready[0], ready[1]})
        ::close(fd);
}

// Where the socket query is refused, the kernel's socket table names the same socket, over IPv4,
// IPv4 to an IPv6 listener (the IPv4 table has it) and IPv6; a socket closed since is held by
// nobody.
TEST(PeerCredentialsTest, WithoutTheSocketQueryTheSocketTableFindsThePeer)
{
    const TestUtils::SocketQueryRefused refused(EACCES);
    const struct
    {
        int family;
        bool mapped;
        const char* what;
    } cases[] = {{AF_INET, false, "IPv4"}, {AF_INET6, true, "IPv4 to IPv6"}, {AF_INET6, false, "IPv6"}};
    for (const auto& c : cases)
    {
        LoopbackPair pair(c.family, c.mapped);
        // Last, so that the other cases have run.
        if (c.family == AF_INET6 && !c.mapped && (pair.error == EADDRNOTAVAIL || pair.error == EAFNOSUPPORT))
            GTEST_SKIP() << "IPv6 is switched off on this machine (::1: " << std::strerror(pair.error)
                         << "): its half is not run";
        ASSERT_GE(pair.accepted, 0) << c.what << ": " << std::strerror(pair.error);
        const YrNet::PeerCredentials peer = YrNet::ReadPeerCredentials(pair.accepted);
        EXPECT_TRUE(peer.known) << c.what;
        EXPECT_EQ(::getuid(), peer.uid) << c.what;
        EXPECT_EQ(pair.ConnectingInode(), peer.inode) << c.what;
        EXPECT_EQ(EACCES, peer.queryError) << c.what;

        ::close(pair.connecting);
        pair.connecting = -1;
        // The kernel may keep the closed connection a while, as an orphan of its own.
        EXPECT_EQ(0u, YrNet::ReadPeerCredentials(pair.accepted).inode) << c.what;
    }
}

// Once the query has answered, its "no such entry" means the socket is gone: the socket table,
// whose read grows with every socket on the machine, is not read then.
TEST(PeerCredentialsTest, AfterAnAnswerNoSuchEntryFromTheQueryMeansGone)
{
    LoopbackPair pair;
    ASSERT_GE(pair.accepted, 0);
    ASSERT_TRUE(YrNet::ReadPeerCredentials(pair.accepted).known);
    const TestUtils::SocketQueryRefused noEntry(ENOENT);
    EXPECT_FALSE(YrNet::ReadPeerCredentials(pair.accepted).known); // the table still has it
}

} // namespace
