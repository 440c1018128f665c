#pragma once
#include <cstdint>

namespace YrNet
{

// Who is at the other end of a connected local socket. `known` is false when the system cannot
// tell (the peer is on another machine, or its socket is gone) and when no process holds the
// peer's socket any more (its client has closed); pid is 0 when only the user is known (a TCP
// peer: the kernel names no process for it).
struct PeerCredentials
{
    bool known = false;
    int64_t pid = 0;
    uint32_t uid = 0;
    uint64_t inode = 0; // the peer's socket, for a TCP peer
    int queryError = 0; // the socket query's error when the socket table found the peer instead
};

// The peer of a connected socket. SO_PEERCRED answers for local (Unix) sockets; for TCP over
// loopback, where the kernel leaves it empty, the peer's own socket is looked up by the
// connection's address pair in the kernel's socket diagnostics (the query `ss` makes), which
// names its user and its inode. One exact query: its cost does not grow with the sockets or
// processes on the machine, so it may run on a thread that carries traffic. Where the query gives
// no answer, the kernel's socket table (/proc/net/tcp, tcp6) is read instead; its cost grows with
// the sockets on the machine, still not with the processes. Once the query has answered in this
// process, its "no such entry" means that the socket is gone, and the table is not read.
PeerCredentials ReadPeerCredentials(int fd);

// True when process pid holds the socket inode: a socket may be held by several processes (a
// forked child keeps its parent's). Reads only that process's descriptors.
bool ProcessHoldsSocket(int64_t pid, uint64_t inode);

namespace detail
{

// From now on the socket query fails with error (an errno value), as where a sandbox refuses
// the netlink family; 0 lets it run again. For tests.
void FailSocketQueryWith(int error);

} // namespace detail

} // namespace YrNet
