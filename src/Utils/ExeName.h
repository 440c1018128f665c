#pragma once
#include <memory>
#include <string>
#include <vector>
#include <boost/noncopyable.hpp>

namespace Utils
{

// Cuts an argument vector at a separator argument into a left and a right group; both start with
// argv[0]. Each side is handed out like a program's (argc, argv): the array ends in a null pointer.
class CmdLineSplitter : boost::noncopyable
{
public:
    // argc >= 1; a separator met a second time is fatal.
    CmdLineSplitter(int argc, const char* const* argv, std::string separator = c_defaultSeparator);

    int LeftCount() const { return int(m_left.size()); }
    char** LeftArgs() const { return const_cast<char**>(m_leftPtrs.data()); }
    int RightCount() const { return int(m_right.size()); }
    char** RightArgs() const { return const_cast<char**>(m_rightPtrs.data()); }

    static const char* const c_defaultSeparator; // "NeverFindThisString..."

private:
    static void MakePointers(std::vector<std::string>& strings, std::vector<char*>& ptrs);

    std::vector<std::string> m_left;
    std::vector<std::string> m_right;
    std::vector<char*> m_leftPtrs;
    std::vector<char*> m_rightPtrs;
};

// The process-wide record of the executable's full path and of the start-up command line. The
// start-up creates it first of all with Init(argc, argv, "{", "}"); everybody else reads Instance().
// Arguments before the first separator are the main view, those after it the split view; when the
// second separator occurs, it decides instead and the views swap sides.
class ExeName : boost::noncopyable
{
public:
    static void Init(int argc, const char* const* argv, const std::string& firstSeparator,
                     const std::string& secondSeparator);
    static const ExeName& Instance();
    static bool IsInitialized();

    // Separate instances exist only in tests; the process-wide one is made by Init.
    ExeName(int argc, const char* const* argv, const std::string& firstSeparator,
            const std::string& secondSeparator);

    int MainArgc() const { return m_mainArgc; }
    char** MainArgv() const { return m_mainArgv; }
    int SplitArgc() const { return m_splitArgc; }
    char** SplitArgv() const { return m_splitArgv; }
    int AllArgc() const { return m_allArgc; }
    char** AllArgv() const { return m_allArgv; }

    // Full path of the executable; a relative or missing argv[0] is replaced by the system's path.
    const std::wstring& GetExeName() const { return m_exeName; }
    const std::string& GetExeNameRaw() const { return m_exeNameRaw; }

    // "    main[n]: a b \nsplitted[m]: c d \nBinary: <path>\n"
    std::wstring ArgsToString() const;

private:
    int m_mainArgc;
    char** m_mainArgv;
    int m_splitArgc;
    char** m_splitArgv;
    int m_allArgc;
    char** m_allArgv;
    CmdLineSplitter m_allSplitter;
    std::unique_ptr<CmdLineSplitter> m_groupSplitter;
    std::wstring m_exeName;
    std::string m_exeNameRaw;
};

} // namespace Utils
