#include "Platform/FaultSignals.h"
#include <vector>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace Platform
{

namespace
{

const int c_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
const int c_maxSignal = 32;

std::mutex g_installLock;
std::atomic<bool> g_installed(false);
struct sigaction g_previous[c_maxSignal];
std::atomic<UnhandledFaultFilter> g_filter(nullptr);

thread_local detail::FaultGuard* t_topGuard = nullptr;
thread_local bool t_inAnalysis = false;

// Async-signal-safe check whether a debugger traces us (it wants its breakpoints back).
bool Traced()
{
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    buf[n] = 0;
    const char* p = std::strstr(buf, "TracerPid:");
    if (p == nullptr)
        return false;
    p += 10;
    while (*p == ' ' || *p == '\t')
        ++p;
    return *p != '0';
}

// Hands the signal to whoever had it before us.
void Chain(int signo, siginfo_t* si, void* uc)
{
    const struct sigaction& prev = g_previous[signo];
    if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr)
    {
        prev.sa_sigaction(signo, si, uc);
        return;
    }
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN)
    {
        prev.sa_handler(signo);
        return;
    }
    // The default action (an ignored fault would only repeat forever): a hardware fault strikes
    // again when the instruction re-runs; a sent signal or a trap has to be raised again.
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signo, &dfl, nullptr);
    if (signo == SIGTRAP || si == nullptr || si->si_code <= 0)
        ::raise(signo);
}

void Dispatch(int signo, siginfo_t* si, void* ucv)
{
    const int savedErrno = errno;
    const ucontext_t* uc = static_cast<const ucontext_t*>(ucv);

    if (signo == SIGTRAP && Traced())
    {
        Chain(signo, si, ucv);
        errno = savedErrno;
        return;
    }

    detail::FaultGuard* guard = t_topGuard;
    if (guard != nullptr && !t_inAnalysis)
    {
        // The analysis runs here, while the faulting frames are still on the stack.
        t_inAnalysis = true;
        WinExcept::ExceptionPointers ep = WinExcept::MakeFaultPointers(signo, si, uc);
        try
        {
            *guard->info = WinExcept::MakeSysExceptionInfo(ep);
        }
        catch (...)
        {
            // Out of memory or the like: the guard still gets a fault to report, if a bare one.
            guard->info->context = L"Windows Exception (analysis failed)";
        }
        t_inAnalysis = false;
        t_topGuard = guard->prev;
        siglongjmp(guard->jump, 1);
    }

    UnhandledFaultFilter filter = g_filter.load();
    if (filter != nullptr && !t_inAnalysis)
    {
        t_inAnalysis = true;
        WinExcept::ExceptionPointers ep = WinExcept::MakeFaultPointers(signo, si, uc);
        filter(ep);
        t_inAnalysis = false;
    }

    Chain(signo, si, ucv);
    errno = savedErrno;
}

size_t PageSize()
{
    static const size_t s = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return s;
}

// Removes the handlers when the module that installed them goes away.
struct Uninstaller
{
    ~Uninstaller() { RemoveFaultDispatcher(); }
} g_uninstaller;

} // namespace

void InstallFaultDispatcher()
{
    EnsureAltSignalStack();
    if (g_installed.load())
        return;
    std::lock_guard<std::mutex> lock(g_installLock);
    if (g_installed.load())
        return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = &Dispatch;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int s : c_signals)
        ::sigaction(s, &sa, &g_previous[s]);
    g_installed = true;
}

void RemoveFaultDispatcher()
{
    std::lock_guard<std::mutex> lock(g_installLock);
    if (!g_installed.load())
        return;
    for (int s : c_signals)
    {
        // Only our own handler is taken out; one installed over it stays.
        struct sigaction cur;
        if (::sigaction(s, nullptr, &cur) == 0 && (cur.sa_flags & SA_SIGINFO) != 0 &&
            cur.sa_sigaction == &Dispatch)
            ::sigaction(s, &g_previous[s], nullptr);
    }
    g_installed = false;
}

bool FaultDispatcherInstalled()
{
    return g_installed.load();
}

UnhandledFaultFilter SetUnhandledFaultFilter(UnhandledFaultFilter filter)
{
    return g_filter.exchange(filter);
}

AltSignalStackScope::AltSignalStackScope() : m_mem(nullptr), m_mapped(0), m_installed(false)
{
    std::memset(&m_old, 0, sizeof(m_old));
    // One inaccessible page below the stack turns an overflow of the handler into a clean fault.
    const size_t guard = PageSize();
    m_mapped = c_size + guard;
    void* p = ::mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED)
        return;
    m_mem = p;
    ::mprotect(p, guard, PROT_NONE);
    stack_t ss;
    std::memset(&ss, 0, sizeof(ss));
    ss.ss_sp = static_cast<char*>(p) + guard;
    ss.ss_size = c_size;
    ss.ss_flags = 0;
    m_installed = (::sigaltstack(&ss, &m_old) == 0);
}

AltSignalStackScope::~AltSignalStackScope()
{
    if (m_installed)
    {
        stack_t old = m_old;
        old.ss_flags &= SS_DISABLE;
        if ((old.ss_flags & SS_DISABLE) != 0)
        {
            old.ss_sp = nullptr;
            old.ss_size = 0;
        }
        ::sigaltstack(&old, nullptr);
    }
    if (m_mem != nullptr)
        ::munmap(m_mem, m_mapped);
}

void EnsureAltSignalStack()
{
    // The calling thread may belong to a host that later unloads this library. A thread_local
    // with a destructor would pin the library in memory, so the stack is kept in a process-wide
    // list instead and stays mapped for the rest of the thread's life.
    thread_local AltSignalStackScope* t_own = nullptr;
    if (t_own != nullptr)
        return;
    stack_t cur;
    if (::sigaltstack(nullptr, &cur) == 0 && (cur.ss_flags & SS_DISABLE) == 0 &&
        cur.ss_size >= AltSignalStackScope::c_size)
        return;
    static std::mutex* s_mutex = new std::mutex();
    static std::vector<AltSignalStackScope*>* s_kept = new std::vector<AltSignalStackScope*>();
    t_own = new AltSignalStackScope();
    std::lock_guard<std::mutex> lock(*s_mutex);
    s_kept->push_back(t_own);
}

namespace detail
{

void PushFaultGuard(FaultGuard& guard)
{
    guard.prev = t_topGuard;
    t_topGuard = &guard;
}

void PopFaultGuard(FaultGuard& guard)
{
    for (FaultGuard** p = &t_topGuard; *p != nullptr; p = &(*p)->prev)
    {
        if (*p == &guard)
        {
            *p = guard.prev;
            return;
        }
    }
}

} // namespace detail

} // namespace Platform
