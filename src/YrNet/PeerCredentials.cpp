#include "YrNet/PeerCredentials.h"
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>

namespace YrNet
{

namespace
{

// Closes the descriptor on every way out.
class FdGuard
{
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// An end of the connection as the diagnostics query names it: address words and port in
// network byte order.
void PutEnd(const sockaddr_storage& sa, __be32 (&addr)[4], __be16& port)
{
    if (sa.ss_family == AF_INET)
    {
        const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
        addr[0] = in.sin_addr.s_addr;
        port = in.sin_port;
        return;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    std::memcpy(addr, &in6.sin6_addr, sizeof(addr));
    port = in6.sin6_port;
}

// The TCP socket whose local end is `self` and remote end `remote`: its user and inode. The
// kernel answers an exact query within the send, so the answer is read without waiting.
bool FindTcpSocket(const sockaddr_storage& self, const sockaddr_storage& remote, uint32_t& uid,
                   uint64_t& inode)
{
    const FdGuard nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (nl.Get() < 0)
        return false;
    struct
    {
        nlmsghdr hdr;
        inet_diag_req_v2 req;
    } query{};
    query.hdr.nlmsg_len = sizeof(query);
    query.hdr.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.hdr.nlmsg_flags = NLM_F_REQUEST;
    query.req.sdiag_family = static_cast<uint8_t>(self.ss_family);
    query.req.sdiag_protocol = IPPROTO_TCP;
    query.req.idiag_states = ~0u;
    PutEnd(self, query.req.id.idiag_src, query.req.id.idiag_sport);
    PutEnd(remote, query.req.id.idiag_dst, query.req.id.idiag_dport);
    query.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(nl.Get(), &query, sizeof(query), 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof(kernel)) != ssize_t(sizeof(query)))
        return false;

    alignas(nlmsghdr) char answer[8192]; // the message and the attributes the kernel always adds
    ssize_t len = ::recv(nl.Get(), answer, sizeof(answer), MSG_DONTWAIT);
    for (auto* h = reinterpret_cast<nlmsghdr*>(answer); len > 0 && NLMSG_OK(h, len); h = NLMSG_NEXT(h, len))
    {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return false; // NLMSG_ERROR: no such socket (gone already)
        const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        uid = msg->idiag_uid;
        inode = msg->idiag_inode;
        return true;
    }
    return false;
}

PeerCredentials FromSocketDiag(int fd)
{
    PeerCredentials res;
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof(local), peerLen = sizeof(peer);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
        return res;
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)
        return res;
    // The peer's socket is the one whose local end is our remote end.
    res.known = FindTcpSocket(peer, local, res.uid, res.inode);
    return res;
}

} // namespace

PeerCredentials ReadPeerCredentials(int fd)
{
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof(cred) && cred.pid > 0)
    {
        PeerCredentials res;
        res.known = true;
        res.pid = cred.pid;
        res.uid = cred.uid;
        return res;
    }
    return FromSocketDiag(fd);
}

bool ProcessHoldsSocket(int64_t pid, uint64_t inode)
{
    if (pid <= 0 || inode == 0)
        return false;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* d = ::opendir(fdDir.c_str());
    if (d == nullptr)
        return false; // gone, or another user's
    bool held = false;
    char target[128];
    while (!held)
    {
        const dirent* e = ::readdir(d);
        if (e == nullptr)
            break;
        const ssize_t n = ::readlink((fdDir + e->d_name).c_str(), target, sizeof(target) - 1);
        if (n <= 0)
            continue;
        target[n] = 0;
        unsigned long long heldInode = 0;
        held = std::sscanf(target, "socket:[%llu]", &heldInode) == 1 && heldInode == inode;
    }
    ::closedir(d);
    return held;
}

} // namespace YrNet
