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

#include "Platform/FaultSignals.h"
#include "Platform/HaltPathLock.h"
#include "Platform/LocalTime.h"
#include "Platform/SysInfo.h"
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

// Each line end followed by a flush, as the notice has always been written. Each line is tried on
// its own: the stream keeps the error state of a failed write (a full disk, a reader gone for a
// moment) for good, and would drop every later line without a word.
void WriteThroughStream(const std::string& text) noexcept
{
    for (size_t pos = 0; pos < text.size();)
    {
        const size_t lineEnd = text.find('\n', pos);
        const size_t end = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
        try
        {
            std::cerr.clear();
            std::cerr.write(text.data() + pos, static_cast<std::streamsize>(end - pos));
            std::cerr.flush();
        }
        catch (...)
        {
        }
        pos = end;
    }
}

// The local time in the date-time library's simple form; UTC when the local time cannot be
// had; "" when even that fails. Never throws.
std::string TimeText() noexcept
{
    try
    {
        std::tm tm;
        if (LocalTimeNow(tm))
            return detail::SimpleTimeText(tm);
        return detail::SimpleTimeText(UniversalTimeNow()) + " UTC";
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
        WriteToStandardError("\n\nAborted! " + TimeText() + "\n" + DescriptionText(description) + "\n");
    }
    catch (...)
    {
    }
}

void WriteRecursiveExit() noexcept
{
    try
    {
        WriteToStandardError("\nRecursive exit!\n");
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

void WriteToStandardError(const std::string& text) noexcept
{
    const bool outLocked = TryLockStreamForHaltPath(stdout);
    const bool errLocked = outLocked && TryLockStreamForHaltPath(stderr);
    if (errLocked)
    {
        WriteThroughStream(text);
        ::funlockfile(stderr);
    }
    else
    {
        WriteWhole(STDERR_FILENO, text.data(), text.size());
    }
    if (outLocked)
        ::funlockfile(stdout);
}

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
    // A fault's report began its halt path when it took the fault.
    if (mayNotify && !OnFaultPath())
        BeginHaltPath();

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

namespace detail
{

std::string SimpleTimeText(const std::tm& tm)
{
    static const char* const c_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* month = (tm.tm_mon >= 0 && tm.tm_mon < 12) ? c_months[tm.tm_mon] : "???";
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%04d-%s-%02d %02d:%02d:%02d", tm.tm_year + 1900, month, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

} // namespace detail

} // namespace Platform
