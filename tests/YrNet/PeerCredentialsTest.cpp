#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <gtest/gtest.h>
#include "YrNet/PeerCredentials.h"

#include "common/SocketQueryRefused.h"

namespace
{

// A loopback TCP connection made inside this process: the accepted end and the connecting end.
// An IPv6 socket listens or connects at ::ffff:127.0.0.1 to talk IPv4 (a dual-stack socket).
struct LoopbackPair
{
    int listener = -1;
    int accepted = -1;
    int connecting = -1;
    int error = 0;            // of the step that failed
    bool ipv6Missing = false; // an IPv6 socket or its bind failed as where the machine has no IPv6

    LoopbackPair(int listenFamily = AF_INET, const char* listenAt = "127.0.0.1", int connectFamily = AF_INET,
                 const char* connectTo = "127.0.0.1")
    {
        sockaddr_storage a{};
        socklen_t len = Address(listenFamily, listenAt, 0, a);
        auto* sa = reinterpret_cast<sockaddr*>(&a);
        listener = OpenSocket(listenFamily, a);
        if (listener < 0 || ::bind(listener, sa, len) != 0)
        {
            FailedToOpen(listenFamily);
            return;
        }
        if (::listen(listener, 1) != 0 || ::getsockname(listener, sa, &len) != 0)
        {
            error = errno;
            return;
        }
        const uint16_t port = listenFamily == AF_INET ? reinterpret_cast<sockaddr_in&>(a).sin_port
                                                      : reinterpret_cast<sockaddr_in6&>(a).sin6_port;
        len = Address(connectFamily, connectTo, port, a);
        connecting = OpenSocket(connectFamily, a);
        if (connecting < 0)
        {
            FailedToOpen(connectFamily);
            return;
        }
        if (::connect(connecting, sa, len) == 0)
            accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0)
            error = errno;
    }

    // An IPv6 socket at a mapped address says that it takes IPv4: a machine may make IPv6 sockets
    // IPv6-only (net.ipv6.bindv6only).
    static int OpenSocket(int family, const sockaddr_storage& at)
    {
        const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int off = 0;
        if (fd >= 0 && family == AF_INET6 &&
            IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(at).sin6_addr) &&
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0)
        {
            const int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
        return fd;
    }

    void FailedToOpen(int family)
    {
        error = errno;
        ipv6Missing = family == AF_INET6 && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL);
    }

    static socklen_t Address(int family, const char* host, uint16_t port, sockaddr_storage& a)
    {
        a = sockaddr_storage{};
        if (family == AF_INET)
        {
            auto& in = reinterpret_cast<sockaddr_in&>(a);
            in.sin_family = AF_INET;
            in.sin_port = port;
            ::inet_pton(AF_INET, host, &in.sin_addr);
            return sizeof(in);
        }
        auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = port;
        ::inet_pton(AF_INET6, host, &in6.sin6_addr);
        return sizeof(in6);
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

// The socket query and, where it is refused, the kernel's socket tables name the same socket,
// whichever family each end has. A client that has written and closed leaves an orphan that no
// process holds (inode 0, user 0): it is no known peer. The cases that need an IPv6 socket are left
// out where the machine has no IPv6.
TEST(PeerCredentialsTest, BothLookupsFindALivePeerAndNotOneThatHasClosed)
{
    const struct
    {
        const char* what;
        int listenFamily;
        const char* listenAt;
        int connectFamily;
        const char* connectTo;
    } cases[] = {
        {"IPv4", AF_INET, "127.0.0.1", AF_INET, "127.0.0.1"},
        {"IPv4 to IPv6", AF_INET6, "::ffff:127.0.0.1", AF_INET, "127.0.0.1"},
        {"dual-stack to IPv6", AF_INET6, "::ffff:127.0.0.1", AF_INET6, "::ffff:127.0.0.1"},
        {"dual-stack to IPv4", AF_INET, "127.0.0.1", AF_INET6, "::ffff:127.0.0.1"},
        {"IPv6", AF_INET6, "::1", AF_INET6, "::1"},
    };
    std::string notRun;
    for (const auto& c : cases)
    {
        LoopbackPair pair(c.listenFamily, c.listenAt, c.connectFamily, c.connectTo);
        if (pair.ipv6Missing)
        {
            notRun +=
                std::string(notRun.empty() ? "" : ", ") + c.what + " (" + std::strerror(pair.error) + ")";
            continue;
        }
        ASSERT_GE(pair.accepted, 0) << c.what << ": " << std::strerror(pair.error);
        for (const int refusal : {0, EACCES})
        {
            const TestUtils::SocketQueryRefused refused(refusal);
            const YrNet::PeerCredentials peer = YrNet::ReadPeerCredentials(pair.accepted);
            EXPECT_TRUE(peer.known) << c.what << ", refusal " << refusal;
            EXPECT_EQ(::getuid(), peer.uid) << c.what << ", refusal " << refusal;
            EXPECT_EQ(pair.ConnectingInode(), peer.inode) << c.what << ", refusal " << refusal;
            EXPECT_EQ(refusal, peer.queryError) << c.what << ", refusal " << refusal;
        }

        ASSERT_EQ(4, ::write(pair.connecting, "data", 4)) << c.what;
        ::close(pair.connecting);
        pair.connecting = -1;
        for (const int refusal : {0, EACCES})
        {
            const TestUtils::SocketQueryRefused refused(refusal);
            EXPECT_FALSE(YrNet::ReadPeerCredentials(pair.accepted).known) << c.what << ", refusal " << refusal;
        }
    }
    if (!notRun.empty())
        GTEST_SKIP() << "IPv6 is missing or switched off on this machine; not run: " << notRun;
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
