#include "YrNet/PeerCredentials.h"
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace YrNet
{

namespace
{

// An address as the kernel's socket table writes it: the address words in the machine's byte
// order, then the port, all in upper-case hexadecimal ("0100007F:1F90").
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

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The table entry whose local end is `local` and remote end `remote`: its user and inode.
bool FindSocket(const char* table, const std::string& local, const std::string& remote, uint32_t& uid,
                uint64_t& inode)
{
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line))
    {
        char loc[64] = {}, rem[64] = {};
        unsigned int u = 0;
        unsigned long long ino = 0;
        if (std::sscanf(line.c_str(),
                        " %*u: %63[0-9A-Fa-f:] %63[0-9A-Fa-f:] %*x %*x:%*x %*x:%*x %*x %u %*d %llu", loc, rem,
                        &u, &ino) != 4)
            continue;
        if (Upper(loc) == local && Upper(rem) == remote)
        {
            uid = u;
            inode = ino;
            return true;
        }
    }
    return false;
}

// Calls fn with the inode of each socket the process holds until fn returns true; false when none
// made it (or the process is gone, or another user's).
template <class TFn>
bool AnySocketOf(const std::string& pidDir, TFn fn)
{
    DIR* d = ::opendir((pidDir + "/fd").c_str());
    if (d == nullptr)
        return false;
    bool done = false;
    char target[128];
    while (!done)
    {
        const dirent* e = ::readdir(d);
        if (e == nullptr)
            break;
        const std::string path = pidDir + "/fd/" + e->d_name;
        const ssize_t n = ::readlink(path.c_str(), target, sizeof(target) - 1);
        if (n <= 0)
            continue;
        target[n] = 0;
        unsigned long long inode = 0;
        if (std::sscanf(target, "socket:[%llu]", &inode) == 1)
            done = fn(uint64_t(inode));
    }
    ::closedir(d);
    return done;
}

PeerCredentials FromSocketTable(int fd)
{
    PeerCredentials res;
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof(local), peerLen = sizeof(peer);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
        return res;
    if (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)
        return res;
    // The peer's socket is the entry whose local end is our remote end.
    const char* table = peer.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6";
    uint64_t inode = 0;
    // The kernel writes its table in pieces while sockets come and go, so a read can miss an
    // entry that is there: a few reads before giving up.
    const int c_tableReads = 3;
    bool found = false;
    for (int i = 0; i < c_tableReads && !found; ++i)
        found = FindSocket(table, TableAddress(peer), TableAddress(local), res.uid, inode);
    if (!found)
        return res;
    res.known = true;
    res.inode = inode;
    if (inode != 0 && res.uid == ::getuid())
    {
        std::map<uint64_t, int64_t> holder{{inode, 0}};
        FindSocketHolders(holder);
        res.pid = holder[inode];
    }
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
    return FromSocketTable(fd);
}

void FindSocketHolders(std::map<uint64_t, int64_t>& holders)
{
    size_t left = 0;
    for (auto& h : holders)
    {
        h.second = 0;
        left += h.first != 0 ? 1 : 0;
    }
    DIR* proc = left != 0 ? ::opendir("/proc") : nullptr;
    if (proc == nullptr)
        return;
    while (left != 0)
    {
        const dirent* e = ::readdir(proc);
        if (e == nullptr)
            break;
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])))
            continue;
        const int64_t pid = std::strtoll(e->d_name, nullptr, 10);
        AnySocketOf(std::string("/proc/") + e->d_name,
                    [&](uint64_t inode)
                    {
                        const auto it = holders.find(inode);
                        if (it != holders.end() && inode != 0 && it->second == 0)
                        {
                            it->second = pid;
                            --left;
                        }
                        return left == 0;
                    });
    }
    ::closedir(proc);
}

bool ProcessHoldsSocket(int64_t pid, uint64_t inode)
{
    return pid > 0 && inode != 0 &&
           AnySocketOf("/proc/" + std::to_string(pid), [inode](uint64_t held) { return held == inode; });
}

} // namespace YrNet
