#pragma once
#include <cstdint>
#include <string>
#include <boost/filesystem/path.hpp>
#include "YrMeta/SmartEnum.h"

// The crash hook: when the process halts (a failed assertion, an escaped exception, an unhandled
// fault), it writes a dump of the process and a crash report into the dump folder and ends the
// process itself.
namespace CrashReporter
{

// How faults are captured besides the exit observer: Off nothing more; Internal the process's
// own unhandled-fault filter; Procdump an external dump tool that watches the process.
YRMETA_SMART_ENUM(WinHookMode, (Off, 0), (Internal, 1), (Procdump, 2));

struct HookParams
{
    bool m_flag = false;       // kept, not read
    std::wstring m_dumpFolder; // reports and dumps go here; also the external tool's target
    bool m_fullDump = false;   // dumps with memory contents; "-ma" for the external tool
    uint32_t m_value = 0;      // kept, not read
    bool m_enforceErrorMode = false;
    WinHookMode m_mode = WinHookMode::Procdump;
};

// Creates the process's hook; a second call is fatal ("g_pHook == 0"), so check IsHookInstalled.
void InstallHook(const HookParams& params);

bool IsHookInstalled();

// Names a file (a log, say) to be listed in the report as section "attach-" + name. False, and
// nothing remembered, when no hook is installed.
bool AddAttachment(const std::wstring& path, const std::string& name);

// Stops and joins the thread that reports faults for the other threads (the library is being
// unloaded); a fault after this is reported on the faulting thread. Idempotent.
void StopFaultReporter();

// folder / the full version text ("1.0.0.17"): reports of different versions stay apart.
boost::filesystem::path MakeVersionFolder(const boost::filesystem::path& folder);

// The last resort when the reporting itself fails: "CrashReporter halt\n" + text (+ the stack) on
// standard error and in the debug log, then the process ends.
[[noreturn]] void CrashHalt(const std::string& text);

namespace detail
{

// The report path for a report written now: folder / "crash-<yymmdd-HHMMSS>[-n].crash", the first
// n whose report and dump names are both free. The name is reserved by creating the dump file
// exclusively, so that two processes crashing in the same second never share a name. Creates the
// folder; when that fails, CrashHalt("Assertion").
boost::filesystem::path MakeReportFileName(const boost::filesystem::path& folder);

// The same for a given time text, for tests.
boost::filesystem::path MakeReportFileName(const boost::filesystem::path& folder,
                                           const std::string& timeText);

// The local time (Platform::LocalTimeNow: no time-zone code on the fault path) in the given
// strftime format, which must not hold %Z (strftime runs the time-zone code for it); UTC when
// the local time cannot be had, so that a report is never lost for its time.
std::string LocalTimeText(const char* format);

} // namespace detail

} // namespace CrashReporter
