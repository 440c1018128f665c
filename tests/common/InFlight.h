#pragma once
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>

namespace TestUtils
{

// One byte with room for one descriptor beside it; not to be copied (it points into itself).
struct DescriptorMessage
{
    char byte = 'f';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};

    DescriptorMessage()
    {
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
};

// Sends fd with one byte over the local socket chan. Async-signal-safe.
inline bool SendDescriptor(int chan, int fd)
{
    DescriptorMessage m;
    cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    return ::sendmsg(chan, &m.msg, MSG_NOSIGNAL) == 1;
}

// The next descriptor sent over chan, or -1. Async-signal-safe.
inline int ReceiveDescriptor(int chan, int flags = 0)
{
    DescriptorMessage m;
    if (::recvmsg(chan, &m.msg, flags | MSG_CMSG_CLOEXEC) != 1 || CMSG_FIRSTHDR(&m.msg) == nullptr)
        return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&m.msg)), sizeof(int));
    return fd;
}

// Sockets that no process holds: each is sent to this process over a local pair, and once the
// caller has closed its own descriptor it lives only in the pair's queue, as a connection of a
// process whose descriptors do not show in /proc. They end with the pair, unless taken back
// first (in the order put).
class InFlight
{
public:
    InFlight() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair); }
    ~InFlight()
    {
        for (int fd : m_pair)
            if (fd >= 0)
                ::close(fd);
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

    bool Put(int fd) { return fd >= 0 && SendDescriptor(m_pair[0], fd); }
    // The caller owns the descriptor; -1 when none is left.
    int TakeBack() { return ReceiveDescriptor(m_pair[1], MSG_DONTWAIT); }

private:
    int m_pair[2] = {-1, -1};
};

} // namespace TestUtils
