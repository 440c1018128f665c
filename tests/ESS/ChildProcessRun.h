#pragma once
// Runs code in a forked child and collects what it wrote and how it ended, for
// tests that must look at the whole of a dying process's output (counts, absence of a text)
// or that must bound a child that could hang.
#include <functional>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace TestUtils
{

struct ChildResult
{
    bool exited = false;   // ended by exit/_exit
    int exitCode = -1;     // valid when exited
    int signal = 0;        // the killing signal otherwise
    bool timedOut = false; // killed by us after the time limit
    std::string out;       // standard output
    std::string err;       // standard error
};

inline long long MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// body runs in the child; when it returns, the child ends with code 0.
inline ChildResult RunInChild(const std::function<void()>& body, int timeoutMs = 20000)
{
    ChildResult res;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return res;

    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        body();
        fflush(stdout);
        _exit(0);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    const long long deadline = MonotonicMs() + timeoutMs;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0)
    {
        const long long left = deadline - MonotonicMs();
        if (left <= 0)
        {
            kill(pid, SIGKILL);
            res.timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0)
            break;
        for (int i = 0; i < 2; ++i)
        {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0)
            {
                (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
            }
            else
            {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);

    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
    {
        res.exited = true;
        res.exitCode = WEXITSTATUS(status);
    }
    else if (WIFSIGNALED(status))
    {
        res.signal = WTERMSIG(status);
    }
    return res;
}

inline int CountOccurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::string::size_type p = text.find(what); p != std::string::npos;
         p = text.find(what, p + what.size()))
        ++n;
    return n;
}

} // namespace TestUtils
