#include "CrashReporter/spec/CrPlatform_linux.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <boost/shared_ptr.hpp>
#include "CrashReporter/CrHook.h"
#include "ESS/Assert.h"
#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"
#include "Platform/ProcExec.h"
#include "Platform/SysInfo.h"
#include "Platform/StackTrace.h"
#include "Platform/SysLibs.h"
#include "Utils/ExceptionInfo.h"
#include "Utils/ExeName.h"
#include "Utils/FileSystem.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"

namespace CrashReporter
{

namespace fs = boost::filesystem;

namespace
{

// ---- error mode ----

const uint32_t c_semFailCriticalErrors = 0x0001;
const uint32_t c_semNoGpFaultErrorBox = 0x0002;
const uint32_t c_semNoAlignmentFaultExcept = 0x0004;
const uint32_t c_semNoOpenFileErrorBox = 0x8000;

using GetErrorModeFn = uint32_t (*)();

// The system library that would tell the error mode. There is no such library on Linux, so the
// address stays null and the error mode reads "N/A".
class Kernel32Dll
{
public:
    Kernel32Dll() : m_dll(L"Kernel32.dll", 0)
    {
        m_getErrorMode = reinterpret_cast<GetErrorModeFn>(m_dll.GetProcAddress("GetErrorMode"));
    }
    GetErrorModeFn GetErrorMode() const { return m_getErrorMode; }

private:
    Win32::DllLoader m_dll;
    GetErrorModeFn m_getErrorMode;
};

const Kernel32Dll& Kernel32()
{
    static const Kernel32Dll dll;
    return dll;
}

std::once_flag g_errorModeOnce;
std::atomic<bool> g_errorModeEnforced{false};

// ---- the fault path's watchdog ----

std::atomic<unsigned> g_watchdogSeconds{30};

// The report runs code that is not meant for signal handlers (allocation, locks, Qt, the symbol
// engine); a fault that struck inside one of them can make the report wait forever. Whatever
// happens, the process ends within the limit.
void ArmWatchdog()
{
    const unsigned seconds = g_watchdogSeconds.load();
    if (seconds == 0)
        return;
    Platform::RestoreDefaultSignalAction(SIGALRM);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::alarm(seconds);
}

void DisarmWatchdog()
{
    if (g_watchdogSeconds.load() != 0)
        ::alarm(0);
}

// ---- memory for the report ----

// Address space set aside when the filter is installed and given back first thing when a fault
// comes, so that a process that hit its address-space limit (the one way allocation fails on
// Linux) still has room to write its report: the symbol engine maps the modules' files, which
// takes tens of megabytes. Inaccessible and unreserved, it costs no memory while it waits.
const size_t c_reserveBytes = 256 * 1024 * 1024;
std::atomic<void*> g_reserve{nullptr};

void TakeReserve()
{
    void* p = ::mmap(nullptr, c_reserveBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED)
        g_reserve = p;
}

void ReleaseReserve()
{
    if (void* p = g_reserve.exchange(nullptr))
        ::munmap(p, c_reserveBytes);
}

// ---- the filter ----

ExceptionFilter* g_pFilter = nullptr;

void OnUnhandledFault(const WinExcept::ExceptionPointers& ep)
{
    ExceptionFilter::UnhandledExceptionFilterProc(&ep);
}

// An exception that no handler takes ends in std::terminate before anything is unwound: the
// stack of the throw is still there, and the report shows it.
[[noreturn]] void OnTerminate()
{
    if (g_pFilter != nullptr)
    {
        const std::exception_ptr e = std::current_exception();
        if (e)
        {
            const WinExcept::ExceptionPointers ep = WinExcept::MakeCppPointers(e, nullptr);
            ExceptionFilter::UnhandledExceptionFilterProc(&ep);
        }
        else
        {
            ExceptionFilter::UnhandledExceptionFilterProc(nullptr);
        }
    }
    // A debugger is attached (or the halt was replaced for a test): the previous handler decides.
    if (g_pFilter != nullptr && g_pFilter->m_previousTerminate != nullptr)
        g_pFilter->m_previousTerminate();
    std::abort();
}

// The dump tool, once started, watches the process until it ends: its handle is kept for the
// life of the process.
std::vector<boost::shared_ptr<Platform::IProcExec>>& DumpTools()
{
    static auto* p = new std::vector<boost::shared_ptr<Platform::IProcExec>>();
    return *p;
}

YrLogV2::Log& CrLog()
{
    static YrLogV2::Log* const p = new YrLogV2::Log(YrLogV2::LogRoot::RootLog(), "CrashReporter");
    return *p;
}

} // namespace

namespace
{

// Takes the filter out when the module goes away, so that the dispatcher and the C++ runtime
// never call into unloaded code.
class FilterUninstaller
{
public:
    ~FilterUninstaller()
    {
        ExceptionFilter* f = g_pFilter;
        if (f == nullptr)
            return;
        Platform::UnhandledFaultFilter mine = &OnUnhandledFault;
        Platform::UnhandledFaultFilter cur = Platform::SetUnhandledFaultFilter(f->m_previousFilter);
        if (cur != mine)
            Platform::SetUnhandledFaultFilter(cur); // somebody installed over us: leave theirs
        if (std::get_terminate() == &OnTerminate)
            std::set_terminate(f->m_previousTerminate);
        Platform::StopFaultReporter();
        ReleaseReserve();
    }
} g_filterUninstaller;

} // namespace

ExceptionFilter::ExceptionFilter() : m_previousFilter(nullptr), m_previousTerminate(nullptr)
{
    ESS_ASSERT(g_pFilter == 0);
}

int32_t ExceptionFilter::UnhandledExceptionFilterProc(const WinExcept::ExceptionPointers* ep)
{
    ArmWatchdog();
    ESS_ASSERT(g_pFilter != 0);
    if (Platform::IsDebuggerPresent())
    {
        DisarmWatchdog();
        return 0;
    }
    ReleaseReserve();
    if (ep != nullptr)
    {
        Utils::ExceptionInfo info = WinExcept::MakeSysExceptionInfo(*ep);
        // A thrown exception has no fault context; the stack here still holds its throw.
        if (info.stackTrace.empty())
            info.stackTrace = Platform::CaptureStackTrace();
        const WinExcept::WinException extra(ep);
        Platform::Halt(Utils::ExceptionToText(info), L"Unhandled system exception", &extra);
    }
    else
    {
        Platform::Halt(L"Unknown unhandled exception occurred", L"Unhandled Exception", nullptr);
    }
    // Only a test's stand-in for the termination gets here.
    DisarmWatchdog();
    return 1;
}

bool InstallSegfaultFilter()
{
    ESS_ASSERT(g_pFilter == 0);
    if (Platform::IsDebuggerPresent())
        return true;
    ExceptionFilter* f = new ExceptionFilter();
    g_pFilter = f;
    Platform::InstallFaultDispatcher();
    f->m_previousFilter = Platform::SetUnhandledFaultFilter(&OnUnhandledFault);
    f->m_previousTerminate = std::set_terminate(&OnTerminate);
    // Without the reporter thread faults are still reported, on the faulting thread's stack.
    Platform::StartFaultReporter();
    TakeReserve();
    return true;
}

boost::filesystem::path DumpToolPath()
{
    const fs::path exe(Utils::WStringToStdString(Utils::ExeName::Instance().GetExeName()));
    return exe.parent_path() / "tools/ZuvazizivUdiruDudidav.exe";
}

bool StartDumpTool(const HookParams& params)
{
    const fs::path tool = DumpToolPath();
    std::string error;
    if (!Utils::PathExists(tool))
    {
        error = "Can't find procdump";
    }
    else
    {
        const Platform::StartProcessResult r =
            Platform::StartProcess(Utils::StdStringToWString(tool.string()),
                                   detail::DumpToolArguments(params, Platform::CurrentProcessId()));
        if (r.process)
            DumpTools().push_back(r.process);
        else
            error = "Unable to launch procdump";
    }
    if (error.empty())
        CrLog().Add(YrLogV2::Info, "ProcDump was installed");
    else
        CrLog().Add(YrLogV2::Info, "ProcDump run was failed: {}", error);
    return error.empty();
}

std::string ErrorModeText()
{
    const GetErrorModeFn fn = Kernel32().GetErrorMode();
    if (fn == nullptr)
        return "N/A";
    return detail::ErrorModeToText(fn());
}

void EnforceErrorMode()
{
    std::call_once(g_errorModeOnce,
                   []
                   {
                       // Linux shows no fault dialog box and has no error mode to pin: a fault
                       // always reaches the fault dispatcher. What stays is the once-per-process
                       // rule.
                       HookSetErrorMode();
                       g_errorModeEnforced = true;
                   });
}

bool HookSetErrorMode()
{
    return false;
}

namespace detail
{

std::string ErrorModeToText(uint32_t mode)
{
    static const struct
    {
        uint32_t flag;
        const char* name;
    } c_flags[] = {
        {c_semFailCriticalErrors, "FAILCRITICALERRORS"},
        {c_semNoAlignmentFaultExcept, "SEM_NOALIGNMENTFAULTEXCEPT"},
        {c_semNoGpFaultErrorBox, "SEM_NOGPFAULTERRORBOX"},
        {c_semNoOpenFileErrorBox, "SEM_NOOPENFILEERRORBOX"},
    };
    std::string names;
    for (const auto& f : c_flags)
    {
        if ((mode & f.flag) == 0)
            continue;
        if (!names.empty())
            names += " + ";
        names += f.name;
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08x", mode);
    if (names.empty())
        return hex;
    return names + " (" + hex + ")";
}

bool ErrorModeEnforced()
{
    return g_errorModeEnforced.load();
}

unsigned SetFaultWatchdogSeconds(unsigned seconds)
{
    return g_watchdogSeconds.exchange(seconds);
}

void ArmFaultWatchdog()
{
    ArmWatchdog();
}

void DisarmFaultWatchdog()
{
    DisarmWatchdog();
}

std::vector<std::wstring> DumpToolArguments(const HookParams& params, int64_t pid)
{
    std::vector<std::wstring> args;
    args.push_back(L"-e");
    args.push_back(std::to_wstring(pid));
    args.push_back(params.m_dumpFolder);
    if (params.m_fullDump)
        args.push_back(L"-ma");
    return args;
}

} // namespace detail

} // namespace CrashReporter

namespace Win32
{

std::wstring SystemMessageText(uint32_t code)
{
    char buf[256];
    buf[0] = '\0';
    // The GNU form: the text may be a static string rather than buf.
    const char* text = ::strerror_r(static_cast<int>(code), buf, sizeof(buf));
    return Utils::LocaleStringToUnicode(text != nullptr ? text : "");
}

} // namespace Win32
