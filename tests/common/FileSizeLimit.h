#pragma once
#include <signal.h>
#include <sys/resource.h>

namespace TestUtils
{

// While it lives, writes of this process fail beyond the given size of a file, as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldAction = ::signal(SIGXFSZ, SIG_IGN); // the failed write is the answer, not the signal
        rlimit r = m_old;
        r.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        ::signal(SIGXFSZ, m_oldAction);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old;
    sighandler_t m_oldAction;
};

} // namespace TestUtils
