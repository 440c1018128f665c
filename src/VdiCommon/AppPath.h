#pragma once
#include <cstdint>
#include <string>

// The plug-in runs inside somebody else's executable, so its own files (configuration, logs, crash
// reports, the media-bridge executable) are found from the library's file, not the executable's.
// The library is found by the address of one of its own functions; its path is the real path of
// that file, so that a host loading it through a link still finds the files next to the real one.
namespace VdiCommon
{
namespace AppPath
{

// The load address of a loaded object (its ELF header), or null.
typedef const void* ModuleHandle;

// What the system said about the last failure: the error number and its text.
struct LastErrorInfo
{
    uint32_t code = 0;
    std::wstring text;
};

// The module holding this code; null when neither way finds it (each failing way writes one
// debugger line first).
ModuleHandle GetCurDllModule();
ModuleHandle GetCurDllModuleModern(); // dladdr
ModuleHandle GetCurDllModuleLegacy(); // the loader's list of loaded objects

// The real path (links and "." / ".." resolved) of the module's file; empty when the module is
// unknown or the file cannot be resolved.
std::wstring GetModuleLongPath(ModuleHandle module);

// True when the module's own path is known; the start-up refuses to go on without it.
bool ModulePathFound();
// The module's real path (UTF-8, the locale's encoding on this platform); asserts that it is
// known ("!appPath.empty()").
const std::string& GetModulePath();
// A one-element argument vector holding GetModulePath(), for an argument count of 1.
char** GetModuleArgv();

// Writes "YrSharedUtils <label>: , err <text>, LastError code: <n>, msg: <system text>\n" to the
// debugger output; the error is read before anything else can change it.
void ReportWinError(const std::wstring& label, const std::wstring& text);
// The same, with the error given (dlerror's text, or errno's).
void ReportWinError(const std::wstring& label, const std::wstring& text, const LastErrorInfo& error);

// The error state of the calling thread: errno and its text.
LastErrorInfo ReadLastError();

namespace details
{
// The real path of the object loaded at module, as bytes; empty when unknown.
std::string ModuleRealPath(ModuleHandle module);
// The load address of the object whose mapped segments hold addr, from the loader's list.
ModuleHandle FindModuleByAddress(const void* addr);
// The text ReportWinError writes.
std::string FormatWinError(const std::wstring& label, const std::wstring& text, const LastErrorInfo& error);
} // namespace details

} // namespace AppPath
} // namespace VdiCommon
