#pragma once
#include <cstdint>

namespace YrNet
{

// Who is at the other end of a connected local socket. `known` is false when the system cannot
// tell (the peer is on another machine, or its socket is gone); pid is 0 when only the user is
// known (the owning process belongs to another user and cannot be looked into).
struct PeerCredentials
{
    bool known = false;
    int64_t pid = 0;
    uint32_t uid = 0;
    uint64_t inode = 0; // the peer's socket, when the socket table named it
};

// The peer of a connected socket. SO_PEERCRED answers for local (Unix) sockets; for TCP over
// loopback, where the kernel leaves it empty, the peer's own socket is looked up in the kernel's
// socket table (/proc/net/tcp, tcp6), which names its user and its inode, and the process is the
// one holding that inode. Blocking file reads: call it rarely (once per accepted connection).
PeerCredentials ReadPeerCredentials(int fd);

// True when process pid holds the socket inode: a socket may be held by several processes (a
// forked child keeps its parent's), and ReadPeerCredentials names only the first it finds.
bool ProcessHoldsSocket(int64_t pid, uint64_t inode);

} // namespace YrNet
