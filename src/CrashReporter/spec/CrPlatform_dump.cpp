// The process dump: a text file of our own that holds what a reader of a minidump looks for
// first: the fault and the registers, the dumping thread's stack with symbols, the other threads'
// stacks and the module map; a full dump adds the process status and the raw stack memory.
//
// The other threads' stacks are read by a short-lived child process that attaches to them with
// ptrace (a process cannot unwind its own running threads); when that is refused, the threads are
// listed without stacks.
#include "CrashReporter/spec/CrPlatform_linux.h"
#include "Platform/TypeName.h"

#include <dirent.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include "CrashReporter/CrHook.h"
#include "ESS/Exception.h"
#include "Platform/FaultSignals.h"
#include "Platform/StackTrace.h"
#include "Platform/Thread.h"
#include "Platform/SysInfo.h"
#include "Utils/StringUtils.h"
#include "Utils/ThreadNames.h"

// glibc's own, which fork calls in its child; the helper is made without fork.
extern "C" void _IO_list_resetlock(void);

namespace CrashReporter
{

namespace
{

// The other threads are unwound by a child; it gets this long before it is killed.
std::atomic<int> g_helperLimitMs{10000};
// Runs in the helper for every thread it holds (tests only).
std::atomic<detail::DumpHelperThreadHook> g_helperThreadHook{nullptr};
// Frames listed per other thread.
const int c_helperMaxFrames = 256;
// Raw stack bytes of the dumping thread in a full dump.
const size_t c_stackMemoryBytes = 64 * 1024;
// Bytes shown on each side of a fault's data address in a full dump.
const size_t c_faultMemoryReach = 256;

const char* const c_registerNames[] = {"r8",  "r9",  "r10",    "r11", "r12",    "r13",     "r14", "r15",
                                       "rdi", "rsi", "rbp",    "rbx", "rdx",    "rax",     "rcx", "rsp",
                                       "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
static_assert(sizeof(c_registerNames) / sizeof(c_registerNames[0]) == NGREG, "one name per register");

// The thread whose failure is dumped: the faulting thread when the fault reporter dumps for it.
pid_t ReportedTid()
{
    return static_cast<pid_t>(reinterpret_cast<uintptr_t>(Platform::ReportedThreadId()));
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0)
        return std::string();
    return std::string(buf, std::min(static_cast<size_t>(n), sizeof(buf) - 1));
}

std::string Hex(uint64_t v)
{
    return Format("0x%016llx", static_cast<unsigned long long>(v));
}

// Writes through the file descriptor with a buffer of its own; the helper child shares the
// descriptor, so the buffer is emptied before the child runs.
class FdWriter
{
public:
    explicit FdWriter(int fd) : m_fd(fd), m_ok(true) {}
    ~FdWriter() { Flush(); }

    void Put(const std::string& s)
    {
        m_buf += s;
        if (m_buf.size() >= 64 * 1024)
            Flush();
    }
    void Line(const std::string& s) { Put(s + "\n"); }
    void Section(const std::string& name) { Put("\n[" + name + "]\n"); }

    void Flush()
    {
        if (Platform::WriteWhole(m_fd, m_buf.data(), m_buf.size()) != 0)
            m_ok = false;
        m_buf.clear();
    }

    int Fd() const { return m_fd; }
    // False once a write failed (a full disk, say).
    bool Ok() const { return m_ok; }

private:
    int m_fd;
    bool m_ok;
    std::string m_buf;
};

// A whole small file (procfs files report size 0, so read until the end).
std::string ReadWholeFile(const std::string& path, size_t limit = 4 * 1024 * 1024)
{
    return Platform::ReadSmallFile(path, limit);
}

std::string ThreadComm(pid_t pid, pid_t tid)
{
    std::string s =
        ReadWholeFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/comm", 256);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

std::vector<pid_t> ThreadIds(pid_t pid)
{
    std::vector<pid_t> res;
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (d == nullptr)
        return res;
    while (dirent* e = ::readdir(d))
    {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9')
            res.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    }
    ::closedir(d);
    return res;
}

const char* SignalName(int signo)
{
    switch (signo)
    {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGTRAP:
        return "SIGTRAP";
    default:
        return "";
    }
}

// Memory of this process that may not be mapped: read through the kernel, which answers a bad
// address with an error instead of a fault.
size_t ReadOwnMemory(uint64_t address, void* out, size_t size)
{
    struct iovec local = {out, size};
    struct iovec remote = {reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size};
    const ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void WriteMemory(FdWriter& w, uint64_t from, size_t size)
{
    std::vector<unsigned char> buf(16);
    for (uint64_t a = from; a < from + size; a += 16)
    {
        const size_t got = ReadOwnMemory(a, buf.data(), 16);
        if (got == 0)
            continue;
        std::string line = Hex(a) + ":";
        for (size_t i = 0; i < got; ++i)
            line += Format(" %02x", buf[i]);
        w.Line(line);
    }
}

std::string FrameText(uint64_t address)
{
    // Inside a fault the symbol engine may be held by the faulting thread: no waiting.
    const Platform::StackEntry e = Platform::GetFrameEntryNoWait(address);
    std::string line = Hex(address) + " ";
    line += e.undFullName.empty() ? (e.name.empty() ? std::string("<undefined>") : e.name) : e.undFullName;
    if (e.offsetFromSymbol != 0)
        line += Format("+0x%llx", static_cast<unsigned long long>(e.offsetFromSymbol));
    if (!e.lineFileName.empty())
        line += " at " + e.lineFileName + ":" + std::to_string(e.lineNumber);
    if (!e.moduleName.empty())
        line += " [" + e.moduleName + "]";
    return line;
}

// ---- the helper child ----

int NoSeparateDebuginfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*, GElf_Word,
                        char**)
{
    return -1;
}

struct HelperCtx
{
    FdWriter* w;
    pid_t pid;
    pid_t skipTid;
    Dwfl* dwfl;
    int frames;
};

int HelperFrame(Dwfl_Frame* frame, void* arg)
{
    HelperCtx& c = *static_cast<HelperCtx*>(arg);
    // The thread is held by the helper from here on.
    if (c.frames == 0)
    {
        if (const detail::DumpHelperThreadHook hook = g_helperThreadHook.load())
            hook();
    }
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(frame, &pc, &activation))
        return DWARF_CB_ABORT;
    // A return address points after its call: look the call itself up.
    const Dwarf_Addr lookup = activation ? pc : pc - 1;
    std::string line = Hex(lookup) + " ";
    Dwfl_Module* mod = dwfl_addrmodule(c.dwfl, lookup);
    const char* name = mod != nullptr ? dwfl_module_addrname(mod, lookup) : nullptr;
    line += name != nullptr ? Platform::DemangleName(name) : std::string("<undefined>");
    if (mod != nullptr)
    {
        const char* modName =
            dwfl_module_info(mod, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (modName != nullptr)
            line += std::string(" [") + modName + "]";
    }
    c.w->Line(line);
    return ++c.frames >= c_helperMaxFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
}

int HelperThread(Dwfl_Thread* thread, void* arg)
{
    HelperCtx& c = *static_cast<HelperCtx*>(arg);
    const pid_t tid = dwfl_thread_tid(thread);
    if (tid == c.skipTid)
        return DWARF_CB_OK; // the dumping thread: its stack is written above, from the fault
    c.w->Section(Format("thread %d \"%s\"", static_cast<int>(tid), ThreadComm(c.pid, tid).c_str()));
    c.frames = 0;
    if (dwfl_thread_getframes(thread, &HelperFrame, &c) != 0 && c.frames == 0)
        c.w->Line(std::string("<no stack: ") + dwfl_errmsg(-1) + ">");
    c.w->Flush();
    return DWARF_CB_OK;
}

// Runs in the child: unwinds every thread of the parent but the dumping one.
void HelperMain(int fd, pid_t pid, pid_t skipTid)
{
    // As fork does in its child: the stream list's lock may have been held by a thread of the
    // parent (one stopped by a fault inside fopen, say), and libdw opens streams.
    _IO_list_resetlock();
    // No network look-ups of debug files from a dying process.
    ::unsetenv("DEBUGINFOD_URLS");
    FdWriter w(fd);
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, NoSeparateDebuginfo, nullptr, nullptr};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl == nullptr)
    {
        w.Line("<no stacks: the unwinder cannot start>");
        return;
    }
    dwfl_report_begin(dwfl);
    dwfl_linux_proc_report(dwfl, pid);
    dwfl_report_end(dwfl, nullptr, nullptr);
    const int err = dwfl_linux_proc_attach(dwfl, pid, false);
    if (err != 0)
    {
        w.Line(std::string("<no stacks: ") + std::strerror(err) + ">");
        dwfl_end(dwfl);
        return;
    }
    HelperCtx c{&w, pid, skipTid, dwfl, 0};
    if (dwfl_getthreads(dwfl, &HelperThread, &c) != 0 && dwfl_errno() != 0)
        w.Line(std::string("<thread list incomplete: ") + dwfl_errmsg(-1) + ">");
    w.Flush();
    dwfl_end(dwfl);
}

bool WaitChild(pid_t child, int limitMs)
{
    for (int waited = 0;; waited += 10)
    {
        int status = 0;
        const pid_t r = ::waitpid(child, &status, WNOHANG | __WALL);
        if (r == child || (r < 0 && errno == ECHILD))
            return true; // ended (or reaped by a handler of the host)
        if (r < 0 && errno != EINTR)
            return false;
        if (waited >= limitMs)
            return false;
        struct timespec ts = {0, 10 * 1000 * 1000};
        ::nanosleep(&ts, nullptr);
    }
}

// Lists the threads without stacks (the helper could not run).
void WriteThreadList(FdWriter& w, pid_t skipTid)
{
    for (pid_t tid : ThreadIds(::getpid()))
    {
        if (tid == skipTid)
            continue;
        w.Section(Format("thread %d \"%s\"", static_cast<int>(tid), ThreadComm(::getpid(), tid).c_str()));
        w.Line("<no stack>");
    }
}

// fork without the fork handlers: those take every malloc arena lock, and the faulting thread
// may hold one for good. The child only unwinds and ends.
pid_t ForkBare()
{
    return static_cast<pid_t>(::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0));
}

void WriteOtherThreads(FdWriter& w)
{
    const pid_t self = ReportedTid();
    const pid_t pid = ::getpid();
    w.Flush();
    int sync[2];
    if (::pipe2(sync, O_CLOEXEC) != 0)
    {
        WriteThreadList(w, self);
        return;
    }
    const pid_t child = ForkBare();
    if (child < 0)
    {
        ::close(sync[0]);
        ::close(sync[1]);
        WriteThreadList(w, self);
        return;
    }
    if (child == 0)
    {
        // The helper holds threads of the dying process: while it lives, that process's end is
        // not reported to whoever waits for it. It goes when the process goes (a watchdog may
        // end it before the helper is done).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (::getppid() != pid)
            ::_exit(0);
        ::close(sync[1]);
        char go = 0;
        ssize_t n;
        while ((n = ::read(sync[0], &go, 1)) < 0 && errno == EINTR)
        {
        }
        if (n == 1)
            HelperMain(w.Fd(), pid, self);
        ::_exit(0);
    }
    ::close(sync[0]);
    // Where ptrace is limited to ancestors (Yama), allow this one child; an error here only
    // means there is no such limit.
    ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
    while (::write(sync[1], "g", 1) < 0 && errno == EINTR)
    {
    }
    ::close(sync[1]);
    if (!WaitChild(child, g_helperLimitMs.load()))
    {
        ::kill(child, SIGKILL);
        WaitChild(child, g_helperLimitMs.load());
        ::lseek(w.Fd(), 0, SEEK_END);
        w.Line("\n<thread stacks timed out>");
    }
    ::prctl(PR_SET_PTRACER, 0, 0, 0, 0);
    // The child wrote through the shared descriptor: go on after its text.
    ::lseek(w.Fd(), 0, SEEK_END);
}

// ---- the parts of the dump ----

void WriteHeader(FdWriter& w, bool full)
{
    w.Line("YrTn process dump 1");
    w.Line(std::string("kind: ") + (full ? "full" : "normal"));
    w.Line("pid: " + std::to_string(::getpid()));
    w.Line("time: " + detail::LocalTimeText("%Y-%m-%d %H:%M:%S"));
    w.Line("executable: " + Utils::WStringToStdString(Platform::GetExePath()));
    w.Line("dumping thread: " + std::to_string(ReportedTid()));
}

void WriteException(FdWriter& w, const WinExcept::ExceptionPointers& ep)
{
    w.Section("exception");
    w.Line(Format("code: 0x%08x", ep.record.ExceptionCode));
    w.Line("address: " + Hex(ep.record.ExceptionAddress));
    std::string params;
    for (uint32_t i = 0; i < ep.record.NumberParameters && i < 15; ++i)
        params += (i ? " " : "") + Hex(ep.record.ExceptionInformation[i]);
    w.Line("parameters: " + params);
    if (ep.signo != 0)
    {
        std::string s = Format("signal: %d %s", ep.signo, SignalName(ep.signo));
        if (ep.siginfo != nullptr)
            s += Format(", code %d, address ", ep.siginfo->si_code) +
                 Hex(reinterpret_cast<uintptr_t>(ep.siginfo->si_addr));
        w.Line(s);
    }
    if (ep.exception)
    {
        const std::string type = WinExcept::ThrownTypeName(ep);
        w.Line("thrown type: " + type);
    }
}

void WriteRegisters(FdWriter& w, const ucontext_t& uc)
{
    w.Section("registers");
    for (int i = 0; i < NGREG; ++i)
        w.Line(Format("%-8s", c_registerNames[i]) + Hex(static_cast<uint64_t>(uc.uc_mcontext.gregs[i])));
}

void WriteOwnStack(FdWriter& w, const ucontext_t* context)
{
    const pid_t tid = ReportedTid();
    w.Section(Format("thread %d \"%s\" (dumping)", static_cast<int>(tid), ThreadComm(::getpid(), tid).c_str()));
    std::string name;
    try
    {
        void* const id = reinterpret_cast<void*>(static_cast<uintptr_t>(tid));
        name = Utils::ThreadNames::Instance().ThreadTextNoWait(id);
    }
    catch (...)
    {
    }
    if (!name.empty())
        w.Line("name: " + name);
    std::vector<std::string> lines;
    for (uint64_t a : Platform::GetStackFrames(context))
        lines.push_back(FrameText(a));
    // Without a fault's context the walk starts here: the dump's own frames tell nothing.
    size_t first = 0;
    if (context == nullptr)
    {
        for (size_t i = 0; i < lines.size(); ++i)
        {
            if (lines[i].find("CrashReporter::WriteMiniDump") != std::string::npos)
            {
                first = i + 1;
                break;
            }
        }
    }
    for (size_t i = first; i < lines.size(); ++i)
        w.Line(lines[i]);
}

// The mapping that holds the address: [start, end); false when none does.
bool FindMapping(uint64_t address, uint64_t& start, uint64_t& end)
{
    const std::string maps = ReadWholeFile("/proc/self/maps");
    size_t pos = 0;
    while (pos < maps.size())
    {
        size_t eol = maps.find('\n', pos);
        if (eol == std::string::npos)
            eol = maps.size();
        unsigned long long s = 0, e = 0;
        if (std::sscanf(maps.c_str() + pos, "%llx-%llx", &s, &e) == 2 && address >= s && address < e)
        {
            start = s;
            end = e;
            return true;
        }
        pos = eol + 1;
    }
    return false;
}

void WriteFullParts(FdWriter& w, const ucontext_t* context, const WinExcept::ExceptionPointers* ep)
{
    w.Section("status");
    w.Put(ReadWholeFile("/proc/self/status"));
    w.Section("limits");
    w.Put(ReadWholeFile("/proc/self/limits"));

    uint64_t sp = 0;
    if (context != nullptr)
    {
        sp = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RSP]);
    }
    else
    {
        volatile char here = 0;
        sp = reinterpret_cast<uintptr_t>(&here);
    }
    uint64_t start = 0, end = 0;
    w.Section("stack memory");
    if (FindMapping(sp, start, end))
        WriteMemory(w, sp & ~uint64_t(15),
                    static_cast<size_t>(std::min<uint64_t>(end - (sp & ~uint64_t(15)), c_stackMemoryBytes)));

    if (ep != nullptr && ep->siginfo != nullptr && ep->signo != 0)
    {
        const uint64_t a = reinterpret_cast<uintptr_t>(ep->siginfo->si_addr);
        const uint64_t from = (a > c_faultMemoryReach ? a - c_faultMemoryReach : 0) & ~uint64_t(15);
        w.Section("memory at fault address");
        WriteMemory(w, from, 2 * c_faultMemoryReach);
    }
}

} // namespace

namespace detail
{

int SetDumpHelperLimitMs(int ms)
{
    return g_helperLimitMs.exchange(ms);
}

DumpHelperThreadHook SetDumpHelperThreadHook(DumpHelperThreadHook hook)
{
    return g_helperThreadHook.exchange(hook);
}

} // namespace detail

bool WriteMiniDump(const std::wstring& path, const Platform::SysExceptionInfoBase* extra, bool full)
{
    // The error mode that Windows sets around the dump has no counterpart here.
    if (path.empty())
        return false;
    const WinExcept::WinException* we = dynamic_cast<const WinExcept::WinException*>(extra);
    const WinExcept::ExceptionPointers* ep = we != nullptr ? we->Pointers() : nullptr;

    const std::string file = Utils::WStringToStdString(path);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = false;
    {
        FdWriter w(fd);
        WriteHeader(w, full);
        // The stack of a thrown exception is the catcher's; only a fault's context is the
        // thread's state at the failure.
        const ucontext_t* context = (ep != nullptr && ep->signo != 0) ? ep->context : nullptr;
        if (ep != nullptr)
            WriteException(w, *ep);
        if (context != nullptr)
            WriteRegisters(w, *context);
        WriteOwnStack(w, (ep != nullptr) ? ep->context : nullptr);
        WriteOtherThreads(w);
        w.Section("modules");
        w.Put(ReadWholeFile("/proc/self/maps"));
        if (full)
            WriteFullParts(w, context, ep);
        w.Flush();
        ok = w.Ok();
    }
    // A dump cut short is not offered as the dump of the crash.
    return ::close(fd) == 0 && ok;
}

} // namespace CrashReporter
