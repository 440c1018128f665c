#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include <boost/function.hpp>

#include "Utils/Notification.h"

namespace Platform
{

class SysExceptionInfoBase;

// The exit code of a halted process: a crash must never look like success to whoever started it.
const int c_haltExitCode = 3;

// What every exit observer is told.
struct ExitInformation
{
    int32_t kind = 0;                            // 0: every halt; 1: only the first, right before the end
    std::wstring description;                    // full text of the error; "<no description>" if none given
    std::wstring brief;                          // shorter text chosen by the caller
    const SysExceptionInfoBase* extra = nullptr; // an unhandled OS exception's details, or null
};

using ExitObserver = boost::function<void(const ExitInformation&)>;

// Registers an observer of halts; it stays registered while the returned handle lives.
// Observers are added at start-up, before any halt can happen (the list takes no lock).
Utils::NotificationHandle AddExitObserver(const ExitObserver& fn);

// Calls every observer once, in registration order, on the calling thread.
void NotifyExitObservers(const ExitInformation& info);

// Writes text to standard error on the halt path. Through the C stream, as any other text there
// and in order with it, when the stream's lock (and standard output's, which std::cerr flushes
// first) comes within the halt path's wait (HaltPathLock.h); else straight to descriptor 2, whole:
// a thread stopped by a fault while it holds the lock (writing a line in pieces) would keep the
// stream waiting for good. Each line is tried whatever became of earlier writes. Never throws.
void WriteToStandardError(const std::string& text) noexcept;

// Tells the exit observers (kind 0 always, kind 1 on the first halt only), writes "Aborted! "
// with the local time and the description to standard error and ends the process with
// c_haltExitCode. Never throws; returns only when the termination was replaced for a test.
void Halt(const std::wstring& description, const std::wstring& brief,
          const SysExceptionInfoBase* extra) noexcept;

// The entry of the assertion path; forwards to Halt.
void Abort(const std::wstring& description, const std::wstring& brief,
           const SysExceptionInfoBase* extra) noexcept;

// Ends the process at once with c_haltExitCode (no atexit handlers, no static destructors),
// breaking into a debugger first when one is attached.
void TerminateSelf() noexcept;

// Test seam: when set, TerminateSelf calls this instead of ending the process and returns.
// Null restores the real termination. Returns the previous handler.
using TerminateSelfHandler = void (*)();
TerminateSelfHandler SetTerminateSelfHandler(TerminateSelfHandler handler);

// True while the calling thread is inside Halt (its observers, its notice). A fault there is
// handled on that thread: a halt of another thread would wait for this one's.
bool HaltingOnThisThread() noexcept;

// True when a tracer (debugger) is attached to the process.
bool IsDebuggerPresent();

namespace detail
{
// The time as the date-time library's simple form writes it: "2024-Jan-05 13:45:10".
std::string SimpleTimeText(const std::tm& tm);
} // namespace detail

} // namespace Platform
