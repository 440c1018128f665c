#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <string>

namespace TestUtils
{

// Collects what went wrong in a child that is expected to live; the exit code tells the parent.
struct Checks
{
    std::string errors;

    void Expect(bool ok, const std::string& what)
    {
        if (!ok)
            errors += what + "\n";
    }

    [[noreturn]] void Exit()
    {
        if (!errors.empty())
            std::fprintf(stderr, "%s", errors.c_str());
        std::fflush(stderr);
        _exit(errors.empty() ? 0 : 1);
    }
};

// Waits (bounded) for a child to end; its exit code, 128 + signal, or -1 after the limit (the
// child is killed then).
inline int WaitChild(pid_t pid, int limitMs)
{
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = ::poll(&p, 1, limitMs) == 1;
    ::close(pidfd);
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!ended)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace TestUtils
