#pragma once
#include <cstdint>
#include <map>

namespace YrNet
{

// Who is at the other end of a connected local socket. `known` is false when the system cannot
// tell (the peer is on another machine, or its socket is gone); pid is 0 when only the user is
// known (another user's process, not looked for, or no holder of the socket seen).
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
// one holding that inode (FindSocketHolders), looked for only when the user is this process's own:
// another user's connect costs no scan of /proc. Blocking file reads: call it rarely (once per
// accepted connection).
PeerCredentials ReadPeerCredentials(int fd);

// The processes holding the socket inodes that are the map's keys: each value becomes the holder's
// pid, or 0 when none can be seen (gone, another user's, or not yet holding it: a descriptor
// passed to it is in flight). One pass over every process's descriptors, however many inodes.
void FindSocketHolders(std::map<uint64_t, int64_t>& holders);

// True when process pid holds the socket inode: a socket may be held by several processes (a
// forked child keeps its parent's), and ReadPeerCredentials names only the first it finds.
bool ProcessHoldsSocket(int64_t pid, uint64_t inode);

} // namespace YrNet
