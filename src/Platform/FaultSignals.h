#pragma once
#include <setjmp.h>
#include <signal.h>
#include <boost/noncopyable.hpp>
#include "Platform/WinExcept.h"
#include "Utils/ExceptionInfo.h"

// For thread-local state that the fault handler reads before it hands the fault over. In a library
// loaded at run time, the first use of an ordinary thread_local on a thread that never ran the
// library's code allocates that thread's block with malloc, and a thread that faults inside
// malloc holds its lock: the report would never come. Initial-exec storage is made with every
// thread instead (the library's whole block is then static, about 140 bytes).
#define YR_FAULT_PATH_TLS __attribute__((tls_model("initial-exec")))

// The one process-wide dispatcher of the synchronous fault signals (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGTRAP). It serves, in this order: the innermost fault guard of the faulting thread
// (OsTryCatch with enOsTCTAllWindows), the unhandled-fault filter (the crash hook), and finally
// whatever handler was installed before it (or the default action, which ends the process).
namespace Platform
{

// Installs the dispatcher once (SA_SIGINFO | SA_ONSTACK), keeping the previous handlers to chain
// to; also gives the calling thread an alternate signal stack. Thread-safe, idempotent.
void InstallFaultDispatcher();

// Puts the previous handlers back (the module is going away).
void RemoveFaultDispatcher();

// Gives signo its default action again. Async-signal-safe: it only calls sigaction.
void RestoreDefaultSignalAction(int signo);

// Called on the faulting thread, inside the signal handler, for a fault that no guard takes; it
// is expected to end the process. Returns the previous filter.
typedef void (*UnhandledFaultFilter)(const WinExcept::ExceptionPointers& ep);
UnhandledFaultFilter SetUnhandledFaultFilter(UnhandledFaultFilter filter);

// An alternate signal stack for the calling thread while the object lives, so that even a stack
// overflow can be analysed and reported. The previous alternate stack comes back afterwards.
class AltSignalStackScope : boost::noncopyable
{
public:
    AltSignalStackScope();
    ~AltSignalStackScope();

    static constexpr size_t c_size = 1024 * 1024;

private:
    void* m_mem;
    size_t m_mapped;
    stack_t m_old;
    bool m_installed;
};

// The fault reporter: a thread with a large stack of its own, made in advance, that runs the
// unhandled-fault filter for a fault of any other thread. The faulting thread's handler only copies
// the fault (signal, its information, the registers) into memory reserved here, wakes the reporter
// and waits: the report needs neither the faulting thread's stack (a small alternate stack, an
// overflow) nor the heap arena that thread may hold locked (a fault inside malloc). The reporter
// takes its own heap arena when it starts. Without a running reporter (not started, stopped, a
// forked child, a fault of the reporter itself) the filter runs on the faulting thread as before.
//
// Threads: start and stop on any thread, not concurrently with each other; stop only while no
// fault is being reported.
bool StartFaultReporter();

// Stops the reporter and joins its thread (the library is going away). Idempotent.
void StopFaultReporter();

bool FaultReporterRunning();

// True on the reporter's thread.
bool IsFaultReporterThread();

// True while the calling thread analyses or reports a fault: the reporter with a posted fault, a
// faulting thread that reports its own, a fault guard's analysis. Code that may wait on a lock
// the faulting thread holds must not run then.
bool OnFaultPath() noexcept;

// The thread a report is about: on the reporter while it reports a fault, the faulting thread;
// anywhere else the calling thread. Same form as Thread::GetCurrentThreadID.
void* ReportedThreadId();

// Gives the calling thread an alternate signal stack of at least AltSignalStackScope::c_size
// unless it has one; it lasts until the thread ends.
void EnsureAltSignalStack();

namespace detail
{

// A place to return to from a fault: the dispatcher fills info and jumps to it.
struct FaultGuard
{
    sigjmp_buf jump;
    FaultGuard* prev = nullptr;
    Utils::ExceptionInfo* info = nullptr;
};

void PushFaultGuard(FaultGuard& guard);
// Unlinks the guard when it is still linked (the dispatcher unlinks a guard it jumps to).
void PopFaultGuard(FaultGuard& guard);

} // namespace detail

} // namespace Platform
