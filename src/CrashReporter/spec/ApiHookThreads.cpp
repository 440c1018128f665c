#include "CrashReporter/spec/ApiHookThreads.h"
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ApiHook
{

namespace
{

enum ParkState : uint32_t
{
    stFree = 0,
    stSignalled = 1, // signal sent, handler not yet there
    stParked = 2,    // the handler waits for its release
    stReleased = 3,  // the parking side let it go
    stLeft = 4,      // the handler is done with the slot
    stAbandoned = 5, // the parking side gave up waiting for it
    stEscaped = 6,   // the handler gave up waiting for its release
};

struct ParkSlot
{
    std::atomic<int32_t> tid{0};
    std::atomic<uint32_t> state{stFree};
    std::atomic<uintptr_t> ip{0};
    std::atomic<uintptr_t> newIp{0};
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");

// The slots the handlers look their thread up in. A table is never freed: a handler that runs
// late may still read one that was replaced. Retired tables stay listed so they count as reachable.
struct ParkTable
{
    explicit ParkTable(size_t cap) : capacity(cap), slots(new ParkSlot[cap]) {}
    const size_t capacity;
    std::atomic<size_t> count{0};
    ParkSlot* const slots;
    ParkTable* retired = nullptr;
};

std::mutex g_parkerLock;
ParkTable* g_table = nullptr; // under g_parkerLock
bool g_tableDirty = false;    // a handler may still hold a slot of g_table
std::atomic<ParkTable*> g_active{nullptr};
struct sigaction g_previous;
bool g_installed = false;

pid_t CurrentTid()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

int64_t NowNs()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t ns)
{
    if (ns <= 0)
        return;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &ts, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>& word)
{
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Runs in the parked thread: report, wait for the release (bounded), maybe move on elsewhere.
void ParkHere(ParkSlot& slot, ucontext_t* uc)
{
    slot.ip.store(static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]));
    uint32_t expected = stSignalled;
    if (!slot.state.compare_exchange_strong(expected, stParked))
        return; // the parking side gave up on us, or this is a stale signal
    FutexWake(slot.state);

    const int64_t deadline = NowNs() + static_cast<int64_t>(c_releaseTimeoutMs) * 1000000LL;
    for (;;)
    {
        const uint32_t s = slot.state.load();
        if (s == stReleased)
            break;
        const int64_t left = deadline - NowNs();
        if (left <= 0)
        {
            expected = stParked;
            if (slot.state.compare_exchange_strong(expected, stEscaped))
                return;
            continue; // released just now
        }
        FutexWait(slot.state, stParked, left);
    }
    const uintptr_t ip = slot.newIp.load();
    if (ip != 0)
        uc->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(ip);
    slot.state.store(stLeft);
    FutexWake(slot.state);
}

void ParkHandler(int signo, siginfo_t* si, void* ucv)
{
    const int savedErrno = errno;
    if (si == nullptr || si->si_code != SI_TKILL || si->si_pid != ::getpid())
    {
        // Not ours: whoever had the signal before gets it.
        if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr)
            g_previous.sa_sigaction(signo, si, ucv);
        else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN)
            g_previous.sa_handler(signo);
        errno = savedErrno;
        return;
    }
    if (ParkTable* table = g_active.load())
    {
        const pid_t self = CurrentTid();
        const size_t n = std::min(table->count.load(), table->capacity);
        for (size_t i = 0; i < n; ++i)
        {
            if (table->slots[i].tid.load() == self)
            {
                ParkHere(table->slots[i], static_cast<ucontext_t*>(ucv));
                break;
            }
        }
    }
    errno = savedErrno;
}

void InstallHandler()
{
    if (g_installed)
        return;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = &ParkHandler;
    sa.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    // A parked thread runs nothing else; only faults, which cannot wait, stay deliverable.
    sigfillset(&sa.sa_mask);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
        sigdelset(&sa.sa_mask, s);
    g_installed = (::sigaction(ParkSignal(), &sa, &g_previous) == 0);
}

// Takes the handler out when the module goes away. A signal still pending for a thread that blocks
// it must not then end the process, so "default" becomes "ignore".
struct HandlerRemover
{
    ~HandlerRemover()
    {
        if (!g_installed)
            return;
        struct sigaction cur;
        if (::sigaction(ParkSignal(), nullptr, &cur) != 0 || (cur.sa_flags & SA_SIGINFO) == 0 ||
            cur.sa_sigaction != &ParkHandler)
            return;
        struct sigaction prev = g_previous;
        if ((prev.sa_flags & SA_SIGINFO) == 0 && prev.sa_handler == SIG_DFL)
            prev.sa_handler = SIG_IGN;
        ::sigaction(ParkSignal(), &prev, nullptr);
        g_installed = false;
    }
} g_handlerRemover;

std::vector<pid_t> OtherTasks(pid_t self)
{
    std::vector<pid_t> tids;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr)
        return tids;
    while (dirent* e = ::readdir(dir))
    {
        char* end = nullptr;
        const long tid = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == 0 && tid > 0 && tid != self)
            tids.push_back(static_cast<pid_t>(tid));
    }
    ::closedir(dir);
    return tids;
}

// Alive and able to run (not a zombie on its way out). Uses no allocator: threads are parked.
bool TaskAlive(pid_t tid)
{
    char path[64] = "/proc/self/task/";
    char digits[16];
    int n = 0;
    for (unsigned v = static_cast<unsigned>(tid); n == 0 || v != 0; v /= 10)
        digits[n++] = static_cast<char>('0' + v % 10);
    size_t len = std::strlen(path);
    while (n > 0)
        path[len++] = digits[--n];
    std::memcpy(path + len, "/stat", 6);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[512];
    const ssize_t got = ::read(fd, buf, sizeof(buf) - 1);
    ::close(fd);
    if (got <= 0)
        return false;
    buf[got] = 0;
    const char* p = std::strrchr(buf, ')');
    if (p == nullptr || p[1] != ' ')
        return true;
    return p[2] != 'Z' && p[2] != 'X' && p[2] != 'x';
}

ParkTable* TableFor(size_t n)
{
    if (g_table == nullptr || g_tableDirty || g_table->capacity < n)
    {
        size_t cap = g_table != nullptr ? g_table->capacity : 128;
        while (cap < n)
            cap *= 2;
        ParkTable* t = new ParkTable(cap);
        t->retired = g_table;
        g_table = t;
        g_tableDirty = false;
    }
    return g_table;
}

} // namespace

int ParkSignal()
{
    return SIGRTMIN + 6;
}

ThreadParker::ThreadParker(uint32_t timeoutMs)
{
    g_parkerLock.lock();
    InstallHandler();
    const pid_t pid = ::getpid();
    const std::vector<pid_t> tids = OtherTasks(CurrentTid());
    ParkTable* table = TableFor(tids.size());
    m_threads.reserve(tids.size());
    m_slots.reserve(tids.size());
    for (size_t i = 0; i < tids.size(); ++i)
    {
        ParkSlot& s = table->slots[i];
        s.tid.store(tids[i]);
        s.ip.store(0);
        s.newIp.store(0);
        s.state.store(stSignalled);
    }
    table->count.store(tids.size());
    g_active.store(table);

    // From here on no allocation: a parked thread may hold the allocator's lock.
    for (size_t i = 0; i < tids.size(); ++i)
    {
        if (!g_installed || ::syscall(SYS_tgkill, pid, tids[i], ParkSignal()) != 0)
        {
            uint32_t expected = stSignalled;
            table->slots[i].state.compare_exchange_strong(expected, stAbandoned);
        }
    }
    const int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000LL;
    for (size_t i = 0; i < tids.size(); ++i)
    {
        ParkSlot& s = table->slots[i];
        while (s.state.load() == stSignalled)
        {
            const int64_t left = deadline - NowNs();
            if (left <= 0)
                break;
            FutexWait(s.state, stSignalled, left);
        }
        uint32_t expected = stSignalled;
        s.state.compare_exchange_strong(expected, stAbandoned);
        const bool parked = (s.state.load() == stParked);
        if (!parked && !TaskAlive(tids[i]))
            continue; // it ended: nothing to fear from it
        m_threads.push_back(Thread{tids[i], parked, parked ? s.ip.load() : 0});
        m_slots.push_back(i);
    }
}

ThreadParker::~ThreadParker()
{
    Release();
    g_parkerLock.unlock();
}

size_t ThreadParker::NotParkedCount() const
{
    size_t n = 0;
    for (const Thread& t : m_threads)
        n += t.parked ? 0 : 1;
    return n;
}

void ThreadParker::MoveIp(size_t i, uintptr_t ip)
{
    if (i < m_threads.size() && m_threads[i].parked)
        g_table->slots[m_slots[i]].newIp.store(ip);
}

void ThreadParker::Release()
{
    ParkTable* table = g_table;
    for (size_t i = 0; i < m_threads.size(); ++i)
    {
        if (!m_threads[i].parked)
            continue;
        ParkSlot& s = table->slots[m_slots[i]];
        uint32_t expected = stParked;
        if (s.state.compare_exchange_strong(expected, stReleased))
            FutexWake(s.state);
    }
    // The slots are reused by the next parker only when every handler is done with them.
    const int64_t deadline = NowNs() + static_cast<int64_t>(c_parkTimeoutMs) * 1000000LL;
    for (size_t i = 0; i < m_threads.size(); ++i)
    {
        ParkSlot& s = table->slots[m_slots[i]];
        while (s.state.load() == stReleased)
        {
            const int64_t left = deadline - NowNs();
            if (left <= 0)
            {
                g_tableDirty = true;
                break;
            }
            FutexWait(s.state, stReleased, left);
        }
    }
    g_active.store(nullptr);
}

} // namespace ApiHook
