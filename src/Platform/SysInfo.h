#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <QtGlobal>

namespace Platform
{

// The operating system the process runs on, read once per process (GetOsVersion).
// On Linux: OS kind 1, version numbers from the kernel release, names from /etc/os-release.
class OsVersionReader
{
public:
    // Reads the running system.
    OsVersionReader();

    enum : uint32_t
    {
        OsKindWindows = 0,
        OsKindLinux = 1,
    };

    uint32_t OsKind() const { return m_osKind; }
    uint32_t ProcessorArchitecture() const { return m_arch; }
    uint32_t Major() const { return m_major; }
    uint32_t Minor() const { return m_minor; }
    uint32_t Build() const { return m_build; }
    uint32_t PlatformId() const { return m_platformId; }
    bool Is64Bit() const { return m_is64; }
    const std::wstring& Name() const { return m_name; } // "Debian GNU/Linux 12 (bookworm) (64 bits)"
    const std::wstring& ShortName() const { return m_shortName; } // "Lnx-64"
    const std::wstring& UpdateRevision() const { return m_updateRevision; }

private:
    uint32_t m_osKind;
    uint32_t m_arch;
    uint32_t m_major;
    uint32_t m_minor;
    uint32_t m_build;
    uint32_t m_platformId;
    bool m_is64;
    std::wstring m_name;
    std::wstring m_shortName;
    std::wstring m_updateRevision;
    std::wstring m_releaseId;
};

// A copy of the process-wide record, built on the first call.
OsVersionReader GetOsVersion();
bool IsWindows();

// 1 amd64/x86_64, 2 arm, 3 arm64/aarch64, 4 x64, 5 x86/i386/i686, 0 anything else.
uint32_t GetProcessorArchitecture();

std::wstring GetComputerName();
// The account name, else $USER, else "YRUser"; there is no domain form, so plain changes nothing.
std::wstring GetUserName(bool plain);
// The whole content of a small file (a /proc entry, say); "" when it cannot be read. Opened
// close-on-exec: a child that another thread of a host process starts meanwhile gets nothing.
// Reading stops once limit bytes or more are in (the last read may pass it by one buffer).
std::string ReadSmallFile(const std::string& path, size_t limit = SIZE_MAX);
// Writes all of the bytes to fd, going on after a signal and after a short write; 0, or the errno
// of the write that failed (EIO for one that wrote nothing).
int WriteWhole(int fd, const char* data, size_t size);
// The full path of the executable (the /proc/self/exe link); "" on failure.
std::wstring GetExePath();
// The program as it was invoked (first item of the process command line); "" when there is none.
std::wstring GetCommandLineProgram();
// CLOCK_MONOTONIC milliseconds, cut to 32 bits (wraps like the Windows tick count).
uint32_t GetTickCount();
// The next key when one is waiting on a terminal standard input, else -1; never blocks.
int ReadKeyNoWait();
// There is no message box: "caption: text" goes to standard error and the debug log; returns 1 (OK).
int ShowErrorMessageBox(const std::string& text, const std::string& caption);
// Makes sure the standard streams reach a terminal: when the process has none, takes over the
// parent's terminal. Only the first successful call does anything.
void ShowConsole();
// Opens the file with its program (runs it when it is executable, else "xdg-open"), in the file's
// folder. On failure writes the error to the debug log and to *pError.
bool ShellOpen(const std::wstring& file, const std::wstring& params, std::wstring* pError);
// UTF-8 text to wide; with n != -1 every "%n", then every "%Ln", becomes n.
std::wstring Tr(const char* text, int32_t n = -1);
// The system text of the last error (errno); "" when there is none.
std::wstring LastErrorText();

qint64 CurrentProcessId();

namespace detail
{
// The mapping behind GetProcessorArchitecture (compared lower-cased).
uint32_t ArchitectureCode(const std::string& name);
// Major, minor and build from a kernel release such as "6.1.0-18-amd64"; missing parts are 0.
void ParseKernelRelease(const std::string& release, uint32_t& major, uint32_t& minor, uint32_t& build);
// A value of an os-release file ("" when missing), quotes removed.
std::string OsReleaseValue(const std::string& fileText, const std::string& key);
// The short name with its bitness mark: 4 or more characters get "64", shorter ones "-64".
std::wstring ShortNameWithBitness(const std::wstring& shortName);
} // namespace detail

} // namespace Platform

namespace Win32
{
// Throws ESS::Exception "Win LastError[ for 'context']: " + the system text of errno.
[[noreturn]] void ThrowLastError(const std::wstring& context);
} // namespace Win32
