#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <gtest/gtest.h>
#include "YrNet/PeerCredentials.h"

#include "common/SocketQueryRefused.h"

namespace
{

// A loopback TCP connection made inside this process: the accepted end and the connecting end.
struct LoopbackPair
{
    int listener = -1;
    int accepted = -1;
    int connecting = -1;

    explicit LoopbackPair(int family = AF_INET)
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
        }
        auto* sa = reinterpret_cast<sockaddr*>(&a);
        listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listener, sa, len) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, sa, &len) != 0)
            return;
        connecting = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(connecting, sa, len) == 0)
            accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
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

// Where the socket query is refused, the kernel's socket table names the same socket, over IPv4
// and IPv6; a socket closed since is held by nobody.
TEST(PeerCredentialsTest, WithoutTheSocketQueryTheSocketTableFindsThePeer)
{
    const TestUtils::SocketQueryRefused refused(EACCES);
    for (int family : {AF_INET, AF_INET6})
    {
        LoopbackPair pair(family);
        ASSERT_GE(pair.accepted, 0) << family;
        const YrNet::PeerCredentials peer = YrNet::ReadPeerCredentials(pair.accepted);
        EXPECT_TRUE(peer.known) << family;
        EXPECT_EQ(::getuid(), peer.uid) << family;
        EXPECT_EQ(pair.ConnectingInode(), peer.inode) << family;
        EXPECT_EQ(EACCES, peer.queryError) << family;

        ::close(pair.connecting);
        pair.connecting = -1;
        // The kernel may keep the closed connection a while, as an orphan of its own.
        EXPECT_EQ(0u, YrNet::ReadPeerCredentials(pair.accepted).inode) << family;
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
