#include "CrashReporter/CrHook.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <exception>
#include <vector>
#include <QMutex>
#include <boost/filesystem/operations.hpp>
#include "AppUtils/AppBuildInfo.h"
#include "CrashReporter/spec/CrPlatform_linux.h"
#include "ESS/Assert.h"
#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"
#include "Platform/LocalTime.h"
#include "Platform/StackTrace.h"
#include "Platform/SysInfo.h"
#include "Platform/Thread.h"
#include "Utils/DebugLog.h"
#include "Utils/FdTextWriter.h"
#include "Utils/FileSystem.h"
#include "Utils/StringUtils.h"
#include "Utils/ThreadNames.h"

namespace CrashReporter
{

namespace fs = boost::filesystem;

namespace
{

// How long the report waits for a thread that holds the crash-reporter mutex (adding an
// attachment, say). A thread that crashed while holding it never lets go; the report is written
// without the attachments then rather than not at all.
const unsigned long c_lockWaitMs = 5000;

// The crash-reporter mutex, made at load time and never destroyed: a halt may come while static
// objects are being torn down.
QMutex& CrMutex()
{
    static QMutex* const p = new QMutex();
    return *p;
}
QMutex& g_crMutexAtLoad = CrMutex();

// The thread that holds CrMutex, so that a halt raised under the mutex (a second InstallHook)
// does not wait for its own thread.
std::atomic<void*> g_mutexOwner{nullptr};

class MutexScope
{
public:
    // wait: the time to wait for the mutex; false when it was not taken (or this thread has it).
    explicit MutexScope(unsigned long waitMs, bool forever) : m_locked(false)
    {
        void* const self = Platform::Thread::GetCurrentThreadID();
        if (g_mutexOwner.load() == self)
            return;
        if (forever)
        {
            CrMutex().lock();
            m_locked = true;
        }
        else
        {
            m_locked = CrMutex().tryLock(static_cast<int>(waitMs));
        }
        if (m_locked)
            g_mutexOwner = self;
    }
    ~MutexScope()
    {
        if (m_locked)
        {
            g_mutexOwner = nullptr;
            CrMutex().unlock();
        }
    }
    bool Locked() const { return m_locked; }

    MutexScope(const MutexScope&) = delete;
    MutexScope& operator=(const MutexScope&) = delete;

private:
    bool m_locked;
};

struct Attachment
{
    std::wstring path;
    std::string name;
};

// Windows text mode wrote every line end of a report as CR LF; the reports keep that form.
std::wstring WithCrLf(const std::wstring& text)
{
    std::wstring res;
    res.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
            res += L'\r';
        res += text[i];
    }
    return res;
}

std::wstring Widen(const std::string& text)
{
    return Utils::StdStringToWString(text);
}

// The thread the report is about: the faulting thread when the fault reporter writes the report
// for it.
std::string ReportedThreadText()
{
    return Utils::ThreadNames::Instance().ThreadTextNoWait(Platform::ReportedThreadId());
}

// A file that has failed writes nothing more and keeps why (FdTextWriter::Error).
void WriteSection(Utils::FdTextWriter& file, const std::string& name, const std::wstring& text)
{
    file.WriteLine(Widen("[cr-section-" + name + "]\r"));
    file.WriteLine(WithCrLf(text) + L'\r');
    file.WriteLine(L"\r");
}

class Hook
{
public:
    explicit Hook(const HookParams& params)
        : m_flag(params.m_flag), m_dumpFolder(params.m_dumpFolder), m_fullDump(params.m_fullDump),
          m_value(params.m_value), m_enforceErrorMode(params.m_enforceErrorMode), m_mode(params.m_mode),
          m_userName(Platform::GetUserName(false)), m_userId(::geteuid())
    {
        // The results are not needed: the dump tool logs its own failure, and the filter
        // reports nothing.
        if (m_mode == WinHookMode::Procdump)
            StartDumpTool(params);
        if (m_mode == WinHookMode::Internal)
            InstallSegfaultFilter();
        if (m_enforceErrorMode)
            EnforceErrorMode();
        m_exitObserver =
            Platform::AddExitObserver([this](const Platform::ExitInformation& info) { Callback(info); });
    }

    void Add(const Attachment& a) { m_attachments.push_back(a); }

private:
    void Callback(const Platform::ExitInformation& info)
    {
        // Only the last notice before the end: kind 0 comes with every halt.
        if (info.kind != 1)
            return;

        // Kind 1 comes once per process, so this is the report's own work failing in a way
        // that reached the observers again: report that instead of writing over the report.
        thread_local bool t_inCallback = false;
        if (t_inCallback)
            CrashHalt("Recursive call of Callback()");
        t_inCallback = true;

        // The halting code may hold locks that the report needs (an assertion raised inside a
        // library, say): whatever the report waits for, the process ends in time.
        detail::ArmFaultWatchdog();

        MutexScope lock(c_lockWaitMs, false);
        try
        {
            const std::string error = WriteDumpAndReport(
                info, lock.Locked() || g_mutexOwner.load() == Platform::Thread::GetCurrentThreadID());
            // The report keeps what was written before the failure.
            if (!error.empty())
                CrashHalt("Unexpected exception in Callback(); " + error);
            Platform::TerminateSelf();
            // Only a test's stand-in for the termination gets here.
            detail::DisarmFaultWatchdog();
        }
        catch (const std::exception& e)
        {
            CrashHalt(std::string("Unexpected exception in Callback(); ") + e.what());
        }
        t_inCallback = false;
    }

    // "" or why the report could not be written whole.
    std::string WriteDumpAndReport(const Platform::ExitInformation& info, bool attachmentsUsable)
    {
        const fs::path reportPath =
            detail::MakeReportFileName(fs::path(Utils::WStringToStdString(m_dumpFolder)));
        const fs::path dumpPath = reportPath.parent_path() / (reportPath.stem().string() + ".dmp");

        std::vector<Attachment> attachments;
        if (attachmentsUsable)
            attachments = m_attachments;
        const std::wstring dumpText = Widen(dumpPath.string());
        if (WriteMiniDump(dumpText, info.extra, m_fullDump))
        {
            attachments.push_back(Attachment{dumpText, "dump"});
            if (attachmentsUsable)
                m_attachments.push_back(attachments.back());
        }
        else
        {
            // The name was reserved by an empty dump file; no dump, no file.
            boost::system::error_code ec;
            if (fs::file_size(dumpPath, ec) == 0 && !ec)
                fs::remove(dumpPath, ec);
        }
        return WriteReport(reportPath, info, attachments);
    }

    std::string WriteReport(const fs::path& path, const Platform::ExitInformation& info,
                            const std::vector<Attachment>& attachments)
    {
        // Not Qt's text stream: the thread that halted may hold a lock of Qt's (a signal-slot
        // lock, the codec registry's) that the stream would wait for.
        Utils::FdTextWriter file(path.string(), false);
        if (!file.Error().empty())
            return file.Error();

        WriteSection(file, "date-time", Widen(detail::LocalTimeText("%Y-%m-%d %H:%M:%S")));
        WriteSection(file, "build-info", Widen(AppUtils::AppBuildInfo::GetBuildInfoText(true)));
        WriteSection(file, "version", Widen(AppUtils::AppBuildInfo::GetFullVersion()));
        const std::string ciUrl = AppUtils::AppBuildInfo::GetCiJobUrl();
        if (!ciUrl.empty())
            WriteSection(file, "jenkins", Widen(ciUrl));
        WriteSection(file, "os-version", Platform::GetOsVersion().Name());
        WriteSection(file, "thread", Utils::LocaleStringToUnicode(ReportedThreadText()));
        WriteSection(file, "text-brief", info.brief);
        WriteSection(file, "text", info.description);
        WriteSection(file, "user", UserName() + L"@" + Platform::GetComputerName());
        for (const Attachment& a : attachments)
            WriteSection(file, "attach-" + a.name, a.path);
        return file.Error();
    }

    // Read at installation: the name service takes locks of its own and may ask a daemon that
    // does not answer. The number alone for a process that has changed its user since.
    std::wstring UserName() const
    {
        const uid_t user = ::geteuid();
        return user == m_userId ? m_userName : Widen(std::to_string(user));
    }

    std::vector<Attachment> m_attachments;
    Utils::NotificationHandle m_exitObserver;
    const bool m_flag;
    const std::wstring m_dumpFolder;
    const bool m_fullDump;
    const uint32_t m_value;
    const bool m_enforceErrorMode;
    const WinHookMode m_mode;
    const std::wstring m_userName;
    const uid_t m_userId;
};

// Never destroyed: the hook must outlive everything that can halt. Set under the mutex, read
// without it.
std::atomic<Hook*> g_pHook{nullptr};

bool NameIsFree(const fs::path& p)
{
    // A status that cannot be read counts as free.
    boost::system::error_code ec;
    const fs::file_status st = fs::status(p, ec);
    return ec || st.type() == fs::file_not_found;
}

} // namespace

void InstallHook(const HookParams& params)
{
    MutexScope lock(0, true);
    ESS_ASSERT(g_pHook == 0);
    g_pHook = new Hook(params);
}

bool IsHookInstalled()
{
    return g_pHook.load() != nullptr;
}

bool AddAttachment(const std::wstring& path, const std::string& name)
{
    MutexScope lock(0, true);
    Hook* const hook = g_pHook.load();
    if (hook == nullptr)
        return false;
    hook->Add(Attachment{path, name});
    return true;
}

void StopFaultReporter()
{
    Platform::StopFaultReporter();
}

fs::path MakeVersionFolder(const fs::path& folder)
{
    return folder / AppUtils::AppBuildInfo::GetFullVersion();
}

void CrashHalt(const std::string& text)
{
    // The reason goes out first: on the halt path the stack and the debug log's line are
    // skipped when a lock they need does not come in time (a thread stopped by a fault may hold
    // it), and off it they wait for theirs.
    std::string all = "CrashReporter halt\n" + text;
    Platform::WriteToStandardError(all);
    std::string stack;
    try
    {
        stack = Platform::CaptureStackTrace();
    }
    catch (...)
    {
    }
    if (!stack.empty())
        stack.insert(0, "\n");
    Platform::WriteToStandardError(stack + "\n");
    try
    {
        Utils::DebugLogFile::Write(Utils::LocaleStringToUnicode(all + stack), true);
    }
    catch (...)
    {
    }
    Platform::TerminateSelf();
    // Only a test's stand-in for the termination returns; nothing after a crash halt may run.
    ::_exit(Platform::c_haltExitCode);
}

namespace detail
{

std::string LocalTimeText(const char* format)
{
    const std::tm tm = Platform::LocalTimeOrUtc(std::time(nullptr));
    char buf[64];
    const size_t n = std::strftime(buf, sizeof(buf), format, &tm);
    return std::string(buf, n);
}

fs::path MakeReportFileName(const fs::path& folder)
{
    if (!Utils::EnsureDirExists(folder))
        CrashHalt("Assertion");
    return MakeReportFileName(folder, LocalTimeText("%y%m%d-%H%M%S"));
}

fs::path MakeReportFileName(const fs::path& folder, const std::string& timeText)
{
    const std::string base = "crash-" + timeText;
    for (uint64_t n = 0;; ++n)
    {
        const std::string stem = (n == 0) ? base : base + "-" + std::to_string(n);
        const fs::path report = folder / (stem + ".crash");
        const fs::path dump = folder / (stem + ".dmp");
        if (!NameIsFree(report) || !NameIsFree(dump))
            continue;
        const int fd = ::open(dump.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
        {
            ::close(fd);
            return report;
        }
        // Taken meanwhile by another process: the next number. Any other failure: the folder
        // does not take files, and the report's own open will say so.
        if (errno != EEXIST)
            return report;
    }
}

} // namespace detail

} // namespace CrashReporter
