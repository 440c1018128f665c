// The look at a connection's peer on the media-bridge port, with few and with 10,000 other loopback
// connections open: the socket-diagnostics query's cost should not grow with them; the socket
// table's, read where the query is refused, does.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <vector>
#include <benchmark/benchmark.h>
#include "YrNet/PeerCredentials.h"

#include "common/SocketQueryRefused.h"

namespace
{

// A loopback listener and `count` connections to it. The accepted ends of all but the last are
// closed at once, to stay within the descriptor limit: the kernel keeps both ends of each in its
// tables all the same (closing and closed), while the connecting ends stay open.
class Connections
{
public:
    explicit Connections(int count)
    {
        rlimit lim{};
        ::getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            ::listen(m_listener, 64) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        for (int i = 0; i < count; ++i)
        {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (c < 0 || ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
                break;
            m_fds.push_back(c);
            m_last = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (m_last < 0)
                break;
            if (i + 1 < count)
                ::close(m_last);
        }
    }
    ~Connections()
    {
        for (int fd : m_fds)
            ::close(fd);
        for (int fd : {m_last, m_listener})
            if (fd >= 0)
                ::close(fd);
    }
    // The accepted end of the last connection.
    int Last() const { return m_last; }
    size_t Count() const { return m_last >= 0 ? m_fds.size() : 0; }

private:
    int m_listener = -1;
    int m_last = -1;
    std::vector<int> m_fds;
};

void BM_ReadPeerCredentials(benchmark::State& state)
{
    const Connections conns(int(state.range(0)) + 1);
    if (conns.Count() != size_t(state.range(0)) + 1)
    {
        state.SkipWithError("could not open the connections (descriptor limit)");
        return;
    }
    for (auto _ : state)
    {
        const YrNet::PeerCredentials peer = YrNet::ReadPeerCredentials(conns.Last());
        if (!peer.known)
        {
            state.SkipWithError("peer not found");
            return;
        }
        benchmark::DoNotOptimize(peer);
    }
    state.counters["other_connections"] = double(state.range(0));
}
BENCHMARK(BM_ReadPeerCredentials)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_ReadPeerCredentialsFromTheSocketTable(benchmark::State& state)
{
    const TestUtils::SocketQueryRefused refused(EACCES);
    BM_ReadPeerCredentials(state);
}
BENCHMARK(BM_ReadPeerCredentialsFromTheSocketTable)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace
