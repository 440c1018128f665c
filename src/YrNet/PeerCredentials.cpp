#include "YrNet/PeerCredentials.h"
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
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

// Set by tests (detail::FailSocketQueryWith): the socket query's error, 0 to make it for real.
std::atomic<int> g_forcedQueryError{0};
std::atomic<bool> g_queryAnswered{false}; // the query has found a socket in this process

// The TCP socket whose local end is `self` and remote end `remote`: its user and inode; 0, or the
// query's error. The kernel answers an exact query within the send, so the answer is read
// without waiting.
int QueryTcpSocket(const sockaddr_storage& self, const sockaddr_storage& remote, uint32_t& uid,
                   uint64_t& inode)
{
    if (const int forced = g_forcedQueryError.load())
        return forced;
    const FdGuard nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (nl.Get() < 0)
        return errno;
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
    const ssize_t sent = ::sendto(nl.Get(), &query, sizeof(query), 0,
                                  reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel));
    if (sent != ssize_t(sizeof(query)))
        return sent < 0 ? errno : EIO;

    alignas(nlmsghdr) char answer[8192]; // the message and the attributes the kernel always adds
    ssize_t len = ::recv(nl.Get(), answer, sizeof(answer), MSG_DONTWAIT);
    if (len < 0)
        return errno;
    auto* h = reinterpret_cast<nlmsghdr*>(answer);
    if (!NLMSG_OK(h, len))
        return EPROTO;
    if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)))
    {
        // "No such entry": the socket is gone, or the kernel cannot serve the query.
        const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        return error > 0 ? error : EPROTO;
    }
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return EPROTO;
    const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    uid = msg->idiag_uid;
    inode = msg->idiag_inode;
    return 0;
}

// An end as the kernel's socket table writes it: the address words in the machine's byte order,
// then the port, all in upper-case hexadecimal ("0100007F:1F90").
std::string TableAddress(const sockaddr_storage& sa)
{
    char buf[64] = {};
    if (sa.ss_family == AF_INET)
    {
        const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
        std::snprintf(buf, sizeof(buf), "%08X:%04X", in.sin_addr.s_addr, ntohs(in.sin_port));
        return buf;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    uint32_t w[4];
    std::memcpy(w, &in6.sin6_addr, sizeof(w));
    std::snprintf(buf, sizeof(buf), "%08X%08X%08X%08X:%04X", w[0], w[1], w[2], w[3], ntohs(in6.sin6_port));
    return buf;
}

// What a socket table holds for a connection.
enum class TableEntry
{
    None,   // no entry (or not seen in this read)
    Held,   // a socket that a process holds
    Orphan, // inode 0, user 0: a connection whose client has closed, kept a while by the kernel
};

// The table entry whose local end is `self` and remote end `remote`, and for a held socket its
// user and inode. The kernel writes the addresses in upper case, as TableAddress does.
TableEntry FindInTable(const char* table, const std::string& self, const std::string& remote, uint32_t& uid,
                       uint64_t& inode)
{
    // Close-on-exec: a process started on another thread meanwhile must not inherit it. Read a
    // page or more a call, as the kernel writes the table: the C library would ask 1 KiB a call
    // (the file's block size), four times the calls on a table of thousands of sockets.
    char buffer[8192];
    const std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(table, "re"), &std::fclose);
    if (!in || std::setvbuf(in.get(), buffer, _IOFBF, sizeof(buffer)) != 0)
        return TableEntry::None;
    char* line = nullptr; // nothing below throws: freed at the end
    size_t capacity = 0;
    TableEntry found = TableEntry::None;
    if (::getline(&line, &capacity, in.get()) >= 0) // the header
    {
        while (found == TableEntry::None && ::getline(&line, &capacity, in.get()) >= 0)
        {
            char loc[64] = {}, rem[64] = {};
            unsigned int u = 0;
            unsigned long long ino = 0;
            if (std::sscanf(line, " %*u: %63[0-9A-Fa-f:] %63[0-9A-Fa-f:] %*x %*x:%*x %*x:%*x %*x %u %*d %llu",
                            loc, rem, &u, &ino) != 4)
                continue;
            if (self != loc || remote != rem)
                continue;
            if (ino == 0)
            {
                found = TableEntry::Orphan;
                continue;
            }
            uid = u;
            inode = ino;
            found = TableEntry::Held;
        }
    }
    std::free(line);
    return found;
}

// An IPv4 end that an IPv6 socket sees as mapped (::ffff:a.b.c.d) in its own form.
sockaddr_storage Unmapped(const sockaddr_storage& sa)
{
    if (sa.ss_family != AF_INET6)
        return sa;
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    if (!IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
        return sa;
    sockaddr_storage res{};
    auto& in = reinterpret_cast<sockaddr_in&>(res);
    in.sin_family = AF_INET;
    in.sin_port = in6.sin6_port;
    std::memcpy(&in.sin_addr, in6.sin6_addr.s6_addr + 12, sizeof(in.sin_addr));
    return res;
}

// An IPv4 end as an IPv6 socket that talks IPv4 has it: ::ffff:a.b.c.d.
sockaddr_storage Mapped(const sockaddr_storage& sa)
{
    if (sa.ss_family != AF_INET)
        return sa;
    const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
    sockaddr_storage res{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(res);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = in.sin_port;
    in6.sin6_addr.s6_addr[10] = 0xff;
    in6.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(in6.sin6_addr.s6_addr + 12, &in.sin_addr, sizeof(in.sin_addr));
    return res;
}

// Where the query cannot be made (a sandbox refuses the netlink family, the diagnostics module
// cannot be loaded): the kernel's socket table, whose cost grows with the sockets on the machine.
bool FindTcpSocketInTable(const sockaddr_storage& seenSelf, const sockaddr_storage& seenRemote, uint32_t& uid,
                          uint64_t& inode)
{
    // An IPv4 connection's socket is an IPv4 one, in the IPv4 table, or an IPv6 one that talks
    // IPv4 (a dual-stack client), in the IPv6 table with both ends mapped.
    const sockaddr_storage self = Unmapped(seenSelf), remote = Unmapped(seenRemote);
    const bool v4 = self.ss_family == AF_INET;
    const std::string v4Self = TableAddress(self), v4Remote = TableAddress(remote);
    const std::string v6Self = TableAddress(Mapped(self)), v6Remote = TableAddress(Mapped(remote));
    // The kernel writes its table in pieces while sockets come and go, so a read can miss an
    // entry that is there: a few reads before giving up.
    const int c_tableReads = 3;
    // An orphan ends the search: while our end of the connection is open, no other socket can
    // have its pair.
    for (int i = 0; i < c_tableReads; ++i)
    {
        TableEntry e = v4 ? FindInTable("/proc/net/tcp", v4Self, v4Remote, uid, inode) : TableEntry::None;
        if (e == TableEntry::None)
            e = FindInTable("/proc/net/tcp6", v6Self, v6Remote, uid, inode);
        if (e != TableEntry::None)
            return e == TableEntry::Held;
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
    // The peer's socket is the one whose local end is our remote end. The kernel says "no such
    // entry" both for a socket that is gone and for a query it cannot serve: the table tells,
    // unless the query has answered before. Then the kernel serves it, the socket is gone, and
    // the table, read in full, would only stall the thread.
    const int error = QueryTcpSocket(peer, local, res.uid, res.inode);
    if (error == 0)
    {
        g_queryAnswered = true;
        // No process holds an orphan (inode 0, user 0): its client has closed.
        res.known = res.inode != 0;
        return res.known ? res : PeerCredentials();
    }
    const bool gone = error == ENOENT && g_queryAnswered;
    res.known = !gone && FindTcpSocketInTable(peer, local, res.uid, res.inode);
    if (res.known)
        res.queryError = error;
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

namespace detail
{

void FailSocketQueryWith(int error)
{
    g_forcedQueryError = error;
}

} // namespace detail

} // namespace YrNet
