#pragma once

namespace CrashReporter
{
struct HookParams;
}

namespace VdiCommon
{

// Installs the application's crash hook as the configuration asks ("VdiCrashHookEnabled",
// "FullCrashDump"), with reports under the running mode's crash-report folder of this version.
// Needs the application set-up. A hook that exists already is left alone.
void InstallCrashHook();

namespace details
{
// The record InstallCrashHook hands to the crash reporter; the plug-in always uses its own
// in-process filter, never the external dump tool.
CrashReporter::HookParams MakeCrashHookParams();
} // namespace details

} // namespace VdiCommon
