#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

// A child process driven by lines: a command line to its standard input, its answer line from
// its standard output (the substitute host's protocol). Standard error goes to a file.
class LineChild
{
public:
    // This process's environment without the variables whose names start with one of `drop`.
    static std::vector<std::string> Environment(const std::vector<std::string>& drop)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
        {
            bool keep = true;
            for (const std::string& d : drop)
                keep = keep && std::strncmp(*e, d.c_str(), d.size()) != 0;
            if (keep)
                env.push_back(*e);
        }
        return env;
    }

    // argv[0] is the program; errFile "" sends standard error to /dev/null.
    LineChild(std::vector<std::string> argv, std::vector<std::string> env, const std::string& errFile)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return;
        if (::pipe2(out, O_CLOEXEC) != 0)
        {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, errFile.empty() ? "/dev/null" : errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> args = Pointers(argv);
        std::vector<char*> envp = Pointers(env);
        if (::posix_spawn(&m_pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0)
            m_pid = -1;
        m_startedPid = m_pid;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }

    // A child still running is killed.
    ~LineChild()
    {
        CloseInput();
        if (m_pid > 0)
        {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }

    LineChild(const LineChild&) = delete;
    LineChild& operator=(const LineChild&) = delete;

    // 0 when the child could not be started.
    pid_t StartedPid() const { return m_startedPid > 0 ? m_startedPid : 0; }

    // Sends a command and returns its answer line ("" when none came in time).
    std::string Command(const std::string& line, int limitMs)
    {
        const std::string s = line + "\n";
        if (m_in < 0 || ::write(m_in, s.data(), s.size()) != static_cast<ssize_t>(s.size()))
            return std::string();
        return ReadLine(limitMs);
    }

    // The next line of its output ("" when none came in time or the output ended).
    std::string ReadLine(int limitMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;)
        {
            const size_t nl = m_buf.find('\n');
            if (nl != std::string::npos)
            {
                const std::string l = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_out, POLLIN, 0};
            if (m_out < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
                return std::string();
            char buf[4096];
            const ssize_t n = ::read(m_out, buf, sizeof(buf));
            if (n <= 0)
                return std::string();
            m_buf.append(buf, static_cast<size_t>(n));
        }
    }

    // Ends its input (which ends the substitute host) and waits for it to end; its exit status,
    // or -1 when it had to be killed after limitMs.
    int Quit(int limitMs)
    {
        CloseInput();
        if (m_pid <= 0)
            return -1;
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
        pollfd p{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && ::poll(&p, 1, limitMs) == 1;
        if (pidfd >= 0)
            ::close(pidfd);
        if (!ended)
            ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (!ended)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& v)
    {
        std::vector<char*> p;
        for (std::string& s : v)
            p.push_back(&s[0]);
        p.push_back(nullptr);
        return p;
    }

    void CloseInput()
    {
        if (m_in >= 0)
            ::close(m_in);
        m_in = -1;
    }

    pid_t m_pid = -1;
    pid_t m_startedPid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buf;
};
