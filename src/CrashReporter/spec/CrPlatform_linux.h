#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include <boost/filesystem/path.hpp>
#include <exception>
#include "Platform/FaultSignals.h"
#include "Platform/OsTryCatch.h"
#include "Platform/WinExcept.h"

// The platform services behind the crash hook, Linux edition:
// - the unhandled-fault filter (fault signals through the one fault dispatcher, and exceptions
//   that reach std::terminate) that turns an unhandled fault into Platform::Halt;
// - the process dump: a text file of our own in place of a minidump (fault context and
//   registers, the threads with their stacks, the module map; a full dump adds memory);
// - the external dump tool, started with a ProcDump-compatible command line;
// - the error mode, which Linux does not have: the services keep their texts and do nothing.
namespace CrashReporter
{

struct HookParams;

// Installs the unhandled-fault filter once per process ("g_pFilter == 0"); with a debugger
// attached installs nothing. True in both cases.
bool InstallSegfaultFilter();

// Writes the process dump to path. extra: the halt's extra data; when it is a fault's record, the
// dump carries the fault and the registers. False when nothing could be written (empty path, the
// file cannot be created).
bool WriteMiniDump(const std::wstring& path, const Platform::SysExceptionInfoBase* extra, bool full);

// Starts the external dump tool for this process: "-e", the process id, the dump folder and, for a
// full dump, "-ma". Logs "ProcDump was installed" or "ProcDump run was failed: " + the reason.
bool StartDumpTool(const HookParams& params);

// The executable's folder / "tools/ZuvazizivUdiruDudidav.exe".
boost::filesystem::path DumpToolPath();

// The error mode as text; "N/A" where the system has no error mode (Linux).
std::string ErrorModeText();

// Pins the error mode once per process. Linux has no error mode and no fault dialog box, so the
// one-time body only records that it ran.
void EnforceErrorMode();

// Keeps the error mode pinned by hooking the system's SetErrorMode. There is nothing to hook on
// Linux: false.
bool HookSetErrorMode();

// The unhandled-fault filter object (one per process, never destroyed).
class ExceptionFilter
{
public:
    ExceptionFilter();

    // The filter: halts with the fault's description ("Unhandled system exception"), or without
    // pointers with "Unknown unhandled exception occurred" ("Unhandled Exception"). Returns 0
    // (continue search: let the previous handler have it) when a debugger is attached, else 1.
    static int32_t UnhandledExceptionFilterProc(const WinExcept::ExceptionPointers* ep);

    // What was installed before this filter: the fault dispatcher's filter and the C++
    // runtime's terminate handler (null for none).
    Platform::UnhandledFaultFilter m_previousFilter;
    std::terminate_handler m_previousTerminate;
};

namespace detail
{

// "{names} (0x%08x)" of an error mode: FAILCRITICALERRORS, SEM_NOALIGNMENTFAULTEXCEPT,
// SEM_NOGPFAULTERRORBOX, SEM_NOOPENFILEERRORBOX in this order, joined with " + "; the hex text
// alone when no flag is set.
std::string ErrorModeToText(uint32_t mode);

// Whether EnforceErrorMode's one-time body has run.
bool ErrorModeEnforced();

// The watchdog of the fault path and of the report: the process is killed (SIGALRM) when
// reporting takes longer than this. Returns the previous value. 0 switches the watchdog off.
unsigned SetFaultWatchdogSeconds(unsigned seconds);

// Starts and stops that watchdog (alarm with SIGALRM at its default action).
void ArmFaultWatchdog();
void DisarmFaultWatchdog();

// How long the dump waits for the helper that reads the other threads' stacks; returns the
// previous value. For tests.
int SetDumpHelperLimitMs(int ms);

// Called by the helper (in its own process) when it holds a thread, before it reads the thread's
// stack; null for none. For tests that need a helper that overruns its time.
typedef void (*DumpHelperThreadHook)();
DumpHelperThreadHook SetDumpHelperThreadHook(DumpHelperThreadHook hook);

// The arguments of the dump tool, in order.
std::vector<std::wstring> DumpToolArguments(const HookParams& params, int64_t pid);

} // namespace detail

} // namespace CrashReporter

namespace Win32
{
// The system's text of an error code (errno on Linux).
std::wstring SystemMessageText(uint32_t code);
} // namespace Win32
