#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"
#include "Platform/HaltPathLock.h"
#include "Platform/LocalTime.h"
#include "Platform/StackTrace.h"
#include <vector>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include <climits>
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

thread_local detail::FaultGuard* t_topGuard YR_FAULT_PATH_TLS = nullptr;
thread_local bool t_inAnalysis YR_FAULT_PATH_TLS = false;

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
    RestoreDefaultSignalAction(signo);
    if (signo == SIGTRAP || si == nullptr || si->si_code <= 0)
        ::raise(signo);
}

// ---- the reporter ----
//
// Everything the faulting thread does here is async-signal-safe: atomics, memcpy into the
// reserved slot, and the futex, getpid, gettid and clock_gettime system calls.

// The reporter's own stack: the report (symbol engine, Qt, the dump) needs a few hundred KiB.
const size_t c_reporterStackSize = 8 * 1024 * 1024;
// How long a faulting thread waits for the reporter to take its fault before it reports on its
// own stack (the reporter is stuck or gone).
const long c_takeWaitMs = 2000;
// How often the idle reporter takes the local time's offset from UTC, which the report then uses
// without running the time-zone code.
const long c_utcOffsetPeriodMs = 60 * 1000;

enum SlotState : int
{
    c_idle = 0,     // nothing posted
    c_posted = 1,   // a faulting thread has filled the slot
    c_taken = 2,    // the reporter works on it
    c_returned = 3, // the filter came back (a debugger is attached, or a test replaced the end)
    c_stop = 4,     // the reporter is asked to end
};

// The fault handed over: filled by the faulting thread while it owns the slot. Reserved at load
// time, so that handing a fault over needs no memory.
struct FaultSlot
{
    std::atomic<int> state{c_idle};
    std::atomic<int> owner{0}; // kernel id of the thread whose fault is in the slot, 0 for none
    int signo = 0;
    siginfo_t info;
    ucontext_t context;
};
FaultSlot g_slot;

std::mutex g_reporterLock; // serialises start and stop
pthread_t g_reporterThread;
std::atomic<bool> g_reporterRunning{false};
std::atomic<int> g_reporterTid{0};
std::atomic<int> g_reporterReady{0}; // 1 once the reporter has made ready for faults
std::atomic<int> g_reporterPid{0};
thread_local int t_reportedTid = 0;

int CurrentTid()
{
    return static_cast<int>(::syscall(SYS_gettid));
}

void FutexWait(std::atomic<int>& word, int value, const struct timespec* timeout)
{
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
}

void FutexWakeAll(std::atomic<int>& word)
{
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

long MonotonicMs()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool ReporterCanTake()
{
    return g_reporterRunning.load() && g_reporterPid.load() == ::getpid() &&
           g_reporterTid.load() != CurrentTid();
}

// One fault at a time: a thread that faults while another one's fault is reported waits for that
// report (which normally ends the process).
void ClaimSlot(int self)
{
    for (;;)
    {
        int expected = 0;
        if (g_slot.owner.compare_exchange_strong(expected, self))
            return;
        FutexWait(g_slot.owner, expected, nullptr);
    }
}

void ReleaseSlot()
{
    g_slot.owner.store(0);
    FutexWakeAll(g_slot.owner);
}

// Waits until the reporter has taken the posted fault; false (and the fault taken back) when it
// does not within the limit.
bool AwaitTaken()
{
    const long end = MonotonicMs() + c_takeWaitMs;
    for (;;)
    {
        if (g_slot.state.load() != c_posted)
            return true;
        const long left = end - MonotonicMs();
        if (left <= 0)
        {
            int expected = c_posted;
            return !g_slot.state.compare_exchange_strong(expected, c_idle);
        }
        const struct timespec ts = {left / 1000, (left % 1000) * 1000000};
        FutexWait(g_slot.state, c_posted, &ts);
    }
}

// On the faulting thread, inside the handler. True when the reporter ran the filter for the
// fault (and the filter came back); false when the caller has to run it itself.
bool HandToReporter(int signo, const siginfo_t* si, const ucontext_t* uc)
{
    // A fault inside a halt stays here: the halt it would start on the reporter would wait for
    // the one this thread is in.
    if (!ReporterCanTake() || uc == nullptr || HaltingOnThisThread())
        return false;
    const int self = CurrentTid();
    ClaimSlot(self);
    g_slot.signo = signo;
    if (si != nullptr)
        std::memcpy(&g_slot.info, si, sizeof(g_slot.info));
    else
        std::memset(&g_slot.info, 0, sizeof(g_slot.info));
    // The copy's floating-point pointer still points into this thread's signal frame, which
    // stays put while this thread waits.
    std::memcpy(&g_slot.context, uc, sizeof(g_slot.context));
    int expected = c_idle;
    if (!g_slot.state.compare_exchange_strong(expected, c_posted))
    {
        ReleaseSlot(); // the reporter is being stopped
        return false;
    }
    FutexWakeAll(g_slot.state);
    if (!AwaitTaken())
    {
        ReleaseSlot();
        return false;
    }
    // The report normally ends the process from the reporter; the watchdog that the filter arms
    // bounds this wait.
    for (int s = g_slot.state.load(); s != c_returned; s = g_slot.state.load())
        FutexWait(g_slot.state, s, nullptr);
    g_slot.state.store(c_idle);
    ReleaseSlot();
    return true;
}

// On the reporter: runs the filter with the posted fault as if on the faulting thread.
void ReportPostedFault()
{
    const WinExcept::ExceptionPointers ep =
        WinExcept::MakeFaultPointers(g_slot.signo, &g_slot.info, &g_slot.context);
    t_reportedTid = g_slot.owner.load();
    BeginHaltPath();
    t_inAnalysis = true;
    if (UnhandledFaultFilter filter = g_filter.load())
        filter(ep);
    t_inAnalysis = false;
    t_reportedTid = 0;
}

void* ReporterMain(void*)
{
    // Host signals go to the host's threads; only faults of its own reach this one.
    sigset_t all;
    sigfillset(&all);
    for (int s : c_signals)
        sigdelset(&all, s);
    ::pthread_sigmask(SIG_SETMASK, &all, nullptr);
    EnsureAltSignalStack();
    // The first allocation gives this thread a heap arena of its own, apart from the arena of
    // whichever thread may later fault while holding its lock. (Through a volatile, so that the
    // pair is not optimised away.)
    void* volatile first = std::malloc(64);
    std::free(first);
    g_reporterTid = CurrentTid();
    // Before the first fault is handed over: what it needs of the C library's locked services
    // (the name service, the list of streams) is taken now.
    StartFaultPathSymbolEngine();
    g_reporterReady = 1;
    FutexWakeAll(g_reporterReady);

    long nextOffset = MonotonicMs() + c_utcOffsetPeriodMs;
    for (;;)
    {
        const int s = g_slot.state.load();
        if (s == c_stop)
            break;
        if (s != c_posted)
        {
            const long left = nextOffset - MonotonicMs();
            if (left > 0)
            {
                const struct timespec ts = {left / 1000, (left % 1000) * 1000000};
                FutexWait(g_slot.state, s, &ts);
                continue;
            }
            TakeUtcOffset();
            nextOffset = MonotonicMs() + c_utcOffsetPeriodMs;
            continue;
        }
        int expected = c_posted;
        if (!g_slot.state.compare_exchange_strong(expected, c_taken))
            continue;
        FutexWakeAll(g_slot.state);
        ReportPostedFault();
        g_slot.state.store(c_returned);
        FutexWakeAll(g_slot.state);
    }
    return nullptr;
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
    if (filter != nullptr && !t_inAnalysis && !HandToReporter(signo, si, uc))
    {
        BeginHaltPath();
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
    ~Uninstaller()
    {
        StopFaultReporter();
        RemoveFaultDispatcher();
    }
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
    // A fault reported from now on finds the local time's offset taken.
    TakeUtcOffset();
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

void RestoreDefaultSignalAction(int signo)
{
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signo, &dfl, nullptr);
}

bool StartFaultReporter()
{
    std::lock_guard<std::mutex> lock(g_reporterLock);
    if (g_reporterRunning.load())
        return true;
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0)
        return false;
    ::pthread_attr_setstacksize(&attr, c_reporterStackSize);
    g_reporterTid = 0;
    g_reporterReady = 0;
    g_slot.state = c_idle;
    const bool made = ::pthread_create(&g_reporterThread, &attr, &ReporterMain, nullptr) == 0;
    ::pthread_attr_destroy(&attr);
    if (!made)
        return false;
    // Faults are handed over only once the reporter has its arena and has made ready.
    while (g_reporterReady.load() == 0)
        FutexWait(g_reporterReady, 0, nullptr);
    g_reporterPid = ::getpid();
    g_reporterRunning = true;
    return true;
}

void StopFaultReporter()
{
    std::lock_guard<std::mutex> lock(g_reporterLock);
    if (!g_reporterRunning.load())
        return;
    g_reporterRunning = false;
    // A forked child has no reporter thread to stop, only its copy of the reporter's walker.
    if (g_reporterPid.load() != ::getpid())
    {
        StopFaultPathSymbolEngine();
        return;
    }
    // A fault being handed over right now is left to its own thread.
    for (;;)
    {
        int expected = c_idle;
        if (g_slot.state.compare_exchange_strong(expected, c_stop))
            break;
        FutexWait(g_slot.state, expected, nullptr);
    }
    FutexWakeAll(g_slot.state);
    ::pthread_join(g_reporterThread, nullptr);
    StopFaultPathSymbolEngine();
    g_reporterTid = 0;
    g_slot.state = c_idle;
}

bool FaultReporterRunning()
{
    return g_reporterRunning.load();
}

bool OnFaultPath() noexcept
{
    return t_inAnalysis;
}

bool IsFaultReporterThread()
{
    const int reporter = g_reporterTid.load();
    return reporter != 0 && reporter == CurrentTid();
}

void* ReportedThreadId()
{
    const int tid = t_reportedTid != 0 ? t_reportedTid : CurrentTid();
    return reinterpret_cast<void*>(static_cast<uintptr_t>(tid));
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
