#pragma once
// Crash scenarios run in child processes (death tests, which run the test from its start again in
// a fresh process). The parent makes a folder and names it in the environment; the child finds it
// there, starts the application with its executable inside that folder and crashes; the parent
// then reads the reports the child left.
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#include <QTemporaryDir>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include "AppUtils/AppBuildInfo.h"
#include "AppUtils/AppPaths.h"
#include "AppUtils/AppStart.h"
#include "CrashReporter/CrHook.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/IBasicInterface.h"

#include "common/ChildChecks.h"

namespace CrTest
{

namespace fs = boost::filesystem;

// A child that hangs is ended by this alarm, so that no test waits forever.
const unsigned c_childLimitSeconds = 120;

inline std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const fs::path& p, const std::string& text)
{
    fs::create_directories(p.parent_path());
    std::ofstream out(p.string(), std::ios::binary);
    out << text;
}

// Names in the folder that end with ext, sorted.
inline std::vector<std::string> FilesWithExt(const fs::path& folder, const std::string& ext)
{
    std::vector<std::string> res;
    boost::system::error_code ec;
    if (!fs::is_directory(folder, ec))
        return res;
    for (fs::directory_iterator i(folder, ec), end; !ec && i != end; i.increment(ec))
    {
        const std::string name = i->path().filename().string();
        if (name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            res.push_back(name);
    }
    std::sort(res.begin(), res.end());
    return res;
}

// A crash report taken apart.
struct Report
{
    bool bom = false;
    bool crlfOnly = false; // every line end is CR LF
    std::vector<std::pair<std::string, std::string>> sections;

    std::vector<std::string> Names() const
    {
        std::vector<std::string> res;
        for (const auto& s : sections)
            res.push_back(s.first);
        return res;
    }
    std::string Text(const std::string& name) const
    {
        for (const auto& s : sections)
        {
            if (s.first == name)
                return s.second;
        }
        return "<missing section " + name + ">";
    }
};

// Sections are a "[cr-section-NAME]" line (first, or after an empty line), the text and an empty
// line. The text comes back with LF line ends.
inline Report ParseReport(const fs::path& p)
{
    Report r;
    std::string s = ReadFile(p);
    r.bom = s.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (r.bom)
        s.erase(0, 3);
    r.crlfOnly = true;
    for (size_t i = 0; i < s.size(); ++i)
    {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            r.crlfOnly = false;
    }
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < s.size())
    {
        size_t eol = s.find("\r\n", pos);
        if (eol == std::string::npos)
            eol = s.size();
        lines.push_back(s.substr(pos, eol - pos));
        pos = eol + 2;
    }
    const std::string head = "[cr-section-";
    std::vector<std::string> body;
    std::string name;
    auto close = [&]
    {
        if (name.empty())
            return;
        if (!body.empty() && body.back().empty())
            body.pop_back();
        std::string text;
        for (size_t i = 0; i < body.size(); ++i)
            text += (i ? "\n" : "") + body[i];
        r.sections.emplace_back(name, text);
    };
    for (size_t i = 0; i < lines.size(); ++i)
    {
        const std::string& l = lines[i];
        const bool isHead = l.compare(0, head.size(), head) == 0 && !l.empty() && l.back() == ']' &&
                            (i == 0 || lines[i - 1].empty());
        if (isHead)
        {
            close();
            name = l.substr(head.size(), l.size() - head.size() - 1);
            body.clear();
        }
        else
        {
            body.push_back(l);
        }
    }
    close();
    return r;
}

// The folder shared by a test and its child.
class ScenarioTest : public ::testing::Test
{
protected:
    static constexpr const char* c_dirVar = "YR_CR_TEST_DIR";

    void SetUp() override
    {
        const char* shared = std::getenv(c_dirVar);
        if (shared != nullptr)
        {
            m_root = shared;
        }
        else
        {
            m_tmp = std::make_unique<QTemporaryDir>();
            ASSERT_TRUE(m_tmp->isValid());
            m_root = m_tmp->path().toStdString();
            setenv(c_dirVar, m_root.c_str(), 1);
        }
    }

    void TearDown() override
    {
        if (m_tmp)
            unsetenv(c_dirVar);
    }

    fs::path Root() const { return fs::path(m_root); }
    // The child's executable: the application's folder is Root()/app.
    fs::path ExePath() const { return Root() / "app" / "host"; }
    // Where the crash reports of the child's application go.
    fs::path ReportFolder() const
    {
        return Root() / "YrAppVdiModule" / "CrashReports" / AppUtils::AppBuildInfo::GetFullVersion();
    }

    // In the child: bounds its life, switches core files off, starts the application with its
    // executable in the shared folder and sets it up (VdiModuleVantrel: every folder lies below
    // the shared one).
    void StartChildApp()
    {
        ::alarm(c_childLimitSeconds);
        struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        fs::create_directories(ExePath().parent_path());
        WriteFile(ExePath(), "not really a program");
        m_argv0 = ExePath().string();
        char* argv[] = {&m_argv0[0], nullptr};
        m_app = AppStartWithAsyncDest(1, argv);
        SarvikAppSetup::AppSetupInstanceSet(
            SarvikAppSetup::AppSetupParams(L"config.ini", L"", L"", AppUtils::SarvikAppMode::VdiModuleVantrel,
                                           SarvikAppSetup::VdiMode::VMware, Root()));
    }

    CrashReporter::HookParams Params(CrashReporter::WinHookMode mode, bool full = false) const
    {
        CrashReporter::HookParams p;
        p.m_dumpFolder = AppUtils::FromPath(ReportFolder());
        p.m_fullDump = full;
        p.m_mode = mode;
        return p;
    }

    // The only report of the child and its dump (empty paths when there is not exactly one).
    bool FindSingleReport(fs::path& report, fs::path& dump) const
    {
        const std::vector<std::string> reports = FilesWithExt(ReportFolder(), ".crash");
        const std::vector<std::string> dumps = FilesWithExt(ReportFolder(), ".dmp");
        if (reports.size() != 1 || dumps.size() != 1)
            return false;
        report = ReportFolder() / reports[0];
        dump = ReportFolder() / dumps[0];
        return true;
    }

    std::string m_root;
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::string m_argv0;
    std::unique_ptr<Utils::IVirtualDestroy> m_app;
};

using TestUtils::Checks;

} // namespace CrTest
