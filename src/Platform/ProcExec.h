#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include <QProcessEnvironment>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include "Utils/IBasicInterface.h"

namespace Platform
{

// A started child process.
class IProcExec : public Utils::IBasicInterface
{
public:
    // True when the child has ended (it is reaped then); false on time-out or a failed wait.
    // 0xFFFFFFFF waits without limit.
    virtual bool Wait(const uint32_t& ms) = 0;
    // Kills the child: "" on success, else the system text of the error.
    virtual std::wstring Terminate() = 0;
};

struct StartProcessResult
{
    std::wstring error;                   // "" on success
    boost::shared_ptr<IProcExec> process; // null on failure
    uint32_t processId = 0;               // 0 on failure
};

// Starts app with the arguments; every argument reaches the child as one argv item (trailing
// blanks removed, outer quotes of an already quoted item dropped). The child inherits the working
// directory and, when env is empty, this process's environment; only descriptors 0-2 are passed on.
// A refused launch is reported in the error text, never thrown. An empty app path is fatal.
StartProcessResult StartProcess(const std::wstring& app, const std::vector<std::wstring>& args,
                                QProcessEnvironment env = QProcessEnvironment());

struct StartDetachedResult
{
    std::wstring error;     // "" on success
    uint32_t processId = 0; // 0 on failure
};

// Starts app detached: the child is handed to the system (it is not a child of this process, so
// nothing here has to reap it and it never stays a zombie of ours), runs in workDir, inherits this
// process's environment and only descriptors 0-2, and starts with default signal handling. Meant
// for helpers that outlive their launcher, inside a host process that may unload us. A refused
// launch is reported in the error text, never thrown. An empty app path is fatal.
StartDetachedResult StartDetachedProcess(const std::wstring& app, const std::vector<std::wstring>& args,
                                         const std::wstring& workDir);

// The command-line text of a launch (for logs): the quoted path, one space, the quoted arguments.
std::wstring MakeCommandLine(const std::wstring& app, const std::vector<std::wstring>& args);

} // namespace Platform

namespace Win32
{

// The application path and the command-line text of a launch.
class ProcAppArgs
{
public:
    // appIn must not be empty; the command line is the quoted path, one space and args.
    static ProcAppArgs Make(const std::wstring& appIn, const std::wstring& args);

    const std::wstring& CommandLine() const { return m_commandLine; }

    // One item of a command line: trailing white space removed; kept as it is when it is already
    // enclosed in double quotes, else enclosed in them (nothing inside is escaped: the text is
    // informational, the child gets its arguments item by item).
    static std::wstring QuoteItem(const std::wstring& item);
    // What the child receives for one item: the quoting rule's text without the enclosing quotes.
    static std::wstring ChildItem(const std::wstring& item);

    // A private copy of a command line, never empty.
    class ArgsTempWrapper : boost::noncopyable
    {
    public:
        explicit ArgsTempWrapper(const std::wstring& s);
        const std::wstring& Text() const { return m_s; }

    private:
        std::wstring m_s;
    };

private:
    std::wstring m_app;
    std::wstring m_commandLine;
};

} // namespace Win32
