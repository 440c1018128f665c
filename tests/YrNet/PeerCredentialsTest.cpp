#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include "YrNet/PeerCredentials.h"

namespace
{

// A loopback TCP connection made inside this process: the accepted end and the connecting end.
struct LoopbackPair
{
    int listener = -1;
    int accepted = -1;
    int connecting = -1;

    LoopbackPair()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        connecting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(connecting, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
            accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~LoopbackPair()
    {
        for (int fd : {listener, accepted, connecting})
            if (fd >= 0)
                ::close(fd);
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
    struct stat st = {};
    ASSERT_EQ(0, ::fstat(pair.connecting, &st));
    EXPECT_EQ(uint64_t(st.st_ino), peer.inode);
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

} // namespace
