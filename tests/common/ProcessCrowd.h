#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace TestUtils
{

// Idle processes of this user, each holding `descriptors` open descriptors (/dev/null), as a busy
// desktop has: what reading every process's descriptors would cost. They are ended by their ids
// when the object ends, and end by themselves after two minutes if it never does.
class ProcessCrowd
{
public:
    ProcessCrowd(int count, int descriptors)
    {
        // Above the numbers it is copied to, so that every copy is a new descriptor.
        const int opened = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        const int devNull = ::fcntl(opened, F_DUPFD_CLOEXEC, descriptors);
        ::close(opened);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < descriptors; ++fd)
            posix_spawn_file_actions_adddup2(&actions, devNull, fd);
        posix_spawn_file_actions_addclosefrom_np(&actions, descriptors);
        char* const argv[] = {const_cast<char*>("sleep"), const_cast<char*>("120"), nullptr};
        char* const env[] = {nullptr};
        for (int i = 0; i < count; ++i)
        {
            pid_t pid = -1;
            m_spawnError = ::posix_spawn(&pid, "/bin/sleep", &actions, nullptr, argv, env);
            if (m_spawnError != 0)
                break;
            m_pids.push_back(pid);
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(devNull);
    }
    ~ProcessCrowd()
    {
        for (pid_t pid : m_pids)
            ::kill(pid, SIGKILL);
        for (pid_t pid : m_pids)
            ::waitpid(pid, nullptr, 0);
    }
    ProcessCrowd(const ProcessCrowd&) = delete;
    ProcessCrowd& operator=(const ProcessCrowd&) = delete;

    size_t Size() const { return m_pids.size(); }
    // Why the crowd is smaller than asked (EAGAIN: the user's process limit); 0 when it is not.
    int SpawnError() const { return m_spawnError; }

private:
    std::vector<pid_t> m_pids;
    int m_spawnError = 0;
};

} // namespace TestUtils
