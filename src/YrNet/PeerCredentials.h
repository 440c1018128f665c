#pragma once
#include <cstdint>

namespace YrNet
{

// Who is at the other end of a connected local socket. `known` is false when the system cannot
// tell (the peer is on another machine, or its socket is gone); pid is 0 when only the user is
// known (a TCP peer: the kernel names no process for it).
struct PeerCredentials
{
    bool known = false;
    int64_t pid = 0;
    uint32_t uid = 0;
    uint64_t inode = 0; // the peer's socket, for a TCP peer
};

// The peer of a connected socket. SO_PEERCRED answers for local (Unix) sockets; for TCP over
// loopback, where the kernel leaves it empty, the peer's own socket is looked up by the
// connection's address pair in the kernel's socket diagnostics (the query `ss` makes), which
// names its user and its inode. One exact query: its cost does not grow with the sockets or
// processes on the machine, so it may run on a thread that carries traffic.
PeerCredentials ReadPeerCredentials(int fd);

// True when process pid holds the socket inode: a socket may be held by several processes (a
// forked child keeps its parent's). Reads only that process's descriptors.
bool ProcessHoldsSocket(int64_t pid, uint64_t inode);

} // namespace YrNet
