#pragma once
// Helpers of the tests that run the plug-in's programs as child processes: bounded waits on files
// that other processes write, and on the end of a child.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include <boost/filesystem.hpp>
#include "common/ChildChecks.h"

namespace ProcTest
{

namespace fs = boost::filesystem;

inline constexpr int c_limitMs = 60000; // every wait below is bounded by this

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::string ReadFile(const fs::path& p)
{
    std::ifstream f(p.string());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> res;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        res.push_back(l);
    return res;
}

inline std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> res;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        res.push_back(w);
    return res;
}

inline size_t CountLinesStarting(const std::string& text, const std::string& prefix)
{
    size_t n = 0;
    for (const std::string& l : Lines(text))
        n += l.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

inline size_t CountOf(const std::string& text, const std::string& piece)
{
    size_t n = 0;
    for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1))
        ++n;
    return n;
}

// Waits for text files written by other processes to satisfy a condition, woken by inotify.
class FileWaiter
{
public:
    explicit FileWaiter(const std::vector<fs::path>& dirs) : m_fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
    {
        for (const fs::path& d : dirs)
            ::inotify_add_watch(m_fd, d.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO);
    }
    ~FileWaiter() { ::close(m_fd); }

    bool Wait(const std::function<bool()>& pred, int limitMs = c_limitMs)
    {
        const int64_t deadline = NowMs() + limitMs;
        while (!pred())
        {
            const int64_t left = deadline - NowMs();
            if (left <= 0)
                return false;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) == 1)
            {
                char buf[4096];
                while (::read(m_fd, buf, sizeof(buf)) > 0)
                {
                }
            }
        }
        return true;
    }

private:
    int m_fd;
};

inline int WaitChild(pid_t pid, int limitMs = c_limitMs)
{
    return TestUtils::WaitChild(pid, limitMs);
}

} // namespace ProcTest
