#include "Platform/Halt.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "Platform/FaultSignals.h"
#include "Utils/StringUtils.h"

namespace Platform
{

namespace
{

using ExitNotification =
    Utils::Notification<ExitInformation, Utils::details::NotificationStrategyThreadUnsafe>;

// Never destroyed: a halt may come while static objects are torn down.
ExitNotification& ExitObservers()
{
    static ExitNotification* pNotification = new ExitNotification();
    return *pNotification;
}

std::atomic<bool> g_halted{false};
std::atomic<TerminateSelfHandler> g_terminateHandler{nullptr};

// Halts in progress on this thread: a halt entered from an exit observer must not walk the
// observer list that is being walked. The fault handler reads it.
thread_local int t_haltDepth YR_FAULT_PATH_TLS = 0;

// Serialises halts of different threads, so that a second thread never walks the observers
// while the first one does. Bounded: an observer that hangs must not keep the process alive.
std::timed_mutex& HaltMutex()
{
    static std::timed_mutex* pMutex = new std::timed_mutex();
    return *pMutex;
}
const std::chrono::seconds c_concurrentHaltWait(30);

void WriteLineEnd()
{
    std::cerr << "\n" << std::flush;
}

// The local time in the date-time library's simple form; UTC when the local time cannot be
// had; "" when even that fails. Never throws.
std::string TimeText() noexcept
{
    try
    {
        return boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
    }
    catch (...)
    {
    }
    try
    {
        return boost::posix_time::to_simple_string(boost::posix_time::second_clock::universal_time()) +
               " UTC";
    }
    catch (...)
    {
    }
    return std::string();
}

// UTF-8; on a conversion failure the ASCII characters alone, so that something is written.
std::string DescriptionText(const std::wstring& description) noexcept
{
    try
    {
        return Utils::WStringToStdString(description);
    }
    catch (...)
    {
    }
    std::string res;
    try
    {
        for (wchar_t c : description)
            res += (c >= 0 && c < 0x80) ? static_cast<char>(c) : '?';
    }
    catch (...)
    {
    }
    return res;
}

void WriteNotice(const std::wstring& description) noexcept
{
    try
    {
        WriteLineEnd();
        WriteLineEnd();
        std::cerr << "Aborted! " << TimeText();
        WriteLineEnd();
        std::cerr << DescriptionText(description);
        WriteLineEnd();
    }
    catch (...)
    {
    }
}

void WriteRecursiveExit() noexcept
{
    try
    {
        WriteLineEnd();
        std::cerr << "Recursive exit!";
        WriteLineEnd();
    }
    catch (...)
    {
    }
}

// An observer that throws must neither keep the halt from ending the process nor keep the
// observers after it (the crash report among them) from hearing of the halt.
void NotifySafely(const ExitInformation& info) noexcept
{
    try
    {
        ExitObservers().ForeachItem(
            [&info](ExitNotification::HandleImpl* p)
            {
                try
                {
                    p->Function()(info);
                }
                catch (...)
                {
                }
            });
    }
    catch (...)
    {
    }
}

bool ReadTracerPid()
{
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    size_t len = 0;
    ssize_t n;
    while (len < sizeof(buf) - 1 && (n = ::read(fd, buf + len, sizeof(buf) - 1 - len)) > 0)
        len += static_cast<size_t>(n);
    ::close(fd);
    buf[len] = '\0';
    const char* p = std::strstr(buf, "TracerPid:");
    if (p == nullptr)
        return false;
    p += std::strlen("TracerPid:");
    while (*p == ' ' || *p == '\t')
        ++p;
    return *p != '\0' && *p != '0';
}

} // namespace

Utils::NotificationHandle AddExitObserver(const ExitObserver& fn)
{
    // An empty observer is refused by the notification ("fn").
    boost::function<void(ExitInformation)> wrapped;
    if (fn)
        wrapped = [fn](const ExitInformation& info) { fn(info); };
    return ExitObservers().CreateHandle(wrapped);
}

void NotifyExitObservers(const ExitInformation& info)
{
    ExitObservers().Notify(info);
}

void Halt(const std::wstring& description, const std::wstring& brief,
          const SysExceptionInfoBase* extra) noexcept
{
    const bool reentered = t_haltDepth > 0;
    ++t_haltDepth;

    std::unique_lock<std::timed_mutex> lock(HaltMutex(), std::defer_lock);
    if (!reentered)
    {
        try
        {
            lock.try_lock_for(c_concurrentHaltWait);
        }
        catch (...)
        {
        }
    }
    // Only a halt that owns the observer list may walk it.
    const bool mayNotify = lock.owns_lock();

    ExitInformation info;
    try
    {
        info.description = description.empty() ? std::wstring(L"<no description>") : description;
        info.brief = brief;
    }
    catch (...)
    {
    }
    info.extra = extra;

    if (mayNotify)
        NotifySafely(info);

    WriteNotice(info.description);

    const bool wasHalted = g_halted.exchange(true);
    if (wasHalted || !mayNotify)
    {
        WriteRecursiveExit();
    }
    else
    {
        info.kind = 1;
        NotifySafely(info);
    }

    TerminateSelf();

    --t_haltDepth;
}

void Abort(const std::wstring& description, const std::wstring& brief,
           const SysExceptionInfoBase* extra) noexcept
{
    Halt(description, brief, extra);
}

bool HaltingOnThisThread() noexcept
{
    return t_haltDepth > 0;
}

bool IsDebuggerPresent()
{
    return ReadTracerPid();
}

void TerminateSelf() noexcept
{
    if (TerminateSelfHandler handler = g_terminateHandler.load())
    {
        handler();
        return;
    }
    if (IsDebuggerPresent())
        std::raise(SIGTRAP); // the debugger may let the process go on
    ::_exit(c_haltExitCode);
    std::raise(SIGTERM);
}

TerminateSelfHandler SetTerminateSelfHandler(TerminateSelfHandler handler)
{
    return g_terminateHandler.exchange(handler);
}

} // namespace Platform
