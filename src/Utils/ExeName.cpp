#include "Utils/ExeName.h"

#include <cwctype>
#include <sstream>
#include <boost/filesystem/operations.hpp>
#include <fmt/format.h>
#include "ESS/Assert.h"
#include "Platform/SysInfo.h"
#include "Utils/StringUtils.h"

namespace fs = boost::filesystem;

namespace Utils
{

const char* const CmdLineSplitter::c_defaultSeparator = "NeverFindThisString...";

CmdLineSplitter::CmdLineSplitter(int argc, const char* const* argv, std::string separator)
{
    ESS_ASSERT(argc >= 1);

    m_left.push_back(argv[0] ? argv[0] : "");
    m_right.push_back(m_left.front());

    bool leftSide = true;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i] ? argv[i] : "";
        if (arg == separator)
        {
            ESS_ASSERT(leftSide);
            leftSide = false;
            continue;
        }
        (leftSide ? m_left : m_right).push_back(arg);
    }

    MakePointers(m_left, m_leftPtrs);
    MakePointers(m_right, m_rightPtrs);
}

void CmdLineSplitter::MakePointers(std::vector<std::string>& strings, std::vector<char*>& ptrs)
{
    ptrs.clear();
    for (std::string& s : strings)
    {
        ptrs.push_back(&s[0]);
    }
    ptrs.push_back(nullptr);
}

namespace
{

ExeName* g_pExeName = 0;

bool Exists(const fs::path& p)
{
    boost::system::error_code ec;
    return !p.empty() && fs::exists(p, ec) && !ec;
}

std::wstring TrimSpaces(const std::wstring& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::iswspace(s[b]))
    {
        ++b;
    }
    while (e > b && std::iswspace(s[e - 1]))
    {
        --e;
    }
    return s.substr(b, e - b);
}

std::wstring ObtainExeName(const std::string& arg)
{
    const std::wstring argPath = LocaleStringToUnicode(arg);

    std::wstring res;
    // An absolute path is one with a root directory here; there are no drive letters or shares.
    if (fs::path(argPath).is_absolute() && Exists(argPath))
    {
        res = argPath;
    }
    else
    {
        res = Platform::GetExePath();
    }

    if (res.empty())
    {
        // Throws when the path does not exist: the failure leaves Init.
        res = fs::canonical(fs::absolute(fs::path(TrimSpaces(argPath)))).wstring();
    }

    if (!Exists(res))
    {
        const std::wstring patched = Platform::GetCommandLineProgram();
        if (!Exists(patched))
        {
            ESS_HALT(fmt::format("ExeName, patched path doesn't exist path: {}, arg: {}",
                                 UnicodeToLocaleString(patched), arg));
        }
        res = patched;
    }
    return res;
}

} // namespace

ExeName::ExeName(int argc, const char* const* argv, const std::string& firstSeparator,
                 const std::string& secondSeparator)
    : m_allSplitter(argc, argv)
{
    m_allArgc = m_allSplitter.LeftCount();
    m_allArgv = m_allSplitter.LeftArgs();

    ESS_ASSERT(argc >= 1);

    bool secondFound = false;
    for (int i = 0; i < argc; ++i)
    {
        if (argv[i] != nullptr && secondSeparator == argv[i])
        {
            secondFound = true;
            break;
        }
    }

    if (secondFound)
    {
        m_groupSplitter = std::make_unique<CmdLineSplitter>(argc, argv, secondSeparator);
        m_mainArgc = m_groupSplitter->RightCount();
        m_mainArgv = m_groupSplitter->RightArgs();
        m_splitArgc = m_groupSplitter->LeftCount();
        m_splitArgv = m_groupSplitter->LeftArgs();
    }
    else
    {
        m_groupSplitter = std::make_unique<CmdLineSplitter>(argc, argv, firstSeparator);
        m_mainArgc = m_groupSplitter->LeftCount();
        m_mainArgv = m_groupSplitter->LeftArgs();
        m_splitArgc = m_groupSplitter->RightCount();
        m_splitArgv = m_groupSplitter->RightArgs();
    }

    m_exeName = ObtainExeName(argv[0] ? argv[0] : "");
    m_exeNameRaw = UnicodeToLocaleString(m_exeName);

    ESS_ASSERT(!m_exeName.empty() && !m_exeNameRaw.empty());
}

void ExeName::Init(int argc, const char* const* argv, const std::string& firstSeparator,
                   const std::string& secondSeparator)
{
    ESS_ASSERT(g_pExeName == 0);
    g_pExeName = new ExeName(argc, argv, firstSeparator, secondSeparator); // lives until the process ends
}

const ExeName& ExeName::Instance()
{
    ESS_ASSERT(g_pExeName != 0);
    return *g_pExeName;
}

bool ExeName::IsInitialized()
{
    return g_pExeName != 0;
}

std::wstring ExeName::ArgsToString() const
{
    std::wostringstream ss;
    ss << L"    main[" << m_mainArgc << L"]: ";
    for (int i = 0; i < m_mainArgc; ++i)
    {
        ss << LocaleStringToUnicode(m_mainArgv[i]) << L" ";
    }
    ss << L"\n";
    ss << L"splitted[" << m_splitArgc << L"]: ";
    for (int i = 0; i < m_splitArgc; ++i)
    {
        ss << LocaleStringToUnicode(m_splitArgv[i]) << L" ";
    }
    ss << L"\n";
    ss << L"Binary: " << m_exeName << L"\n";
    return ss.str();
}

} // namespace Utils
