#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <boost/filesystem.hpp>
#include "AppUtils/AppPaths.h"
#include "CrashReporter/CrHook.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/ExeName.h"
#include "VdiCommon/CrashHook.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace fs = boost::filesystem;

namespace
{

// The application set-up exists once per process: each test that needs one makes it in a process
// of its own (a death-test child) or is the only one of the program that makes it.
fs::path SetUpApplication(const std::string& config)
{
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("vdicommon-%%%%-%%%%");
    fs::create_directories(dir);
    // Both exist for as long as the variables point at them: a later temporary path of this
    // process (a death test of a repeated run) must find its folder.
    fs::create_directories(dir / "data");
    fs::create_directories(dir / "tmp");
    // The data folders of the running mode go below the test's folder, whoever runs it.
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    const fs::path module = dir / "module.so";
    std::ofstream(module.string()) << "";
    std::ofstream((dir / "config.ini").string()) << config;
    const std::string arg = module.string();
    const char* argv[] = {arg.c_str(), nullptr};
    Utils::ExeName::Init(1, argv, "{", "}");
    SarvikAppSetup::AppSetupInstanceSet(
        SarvikAppSetup::AppSetupParams(L"config.ini", L"", L"", AppUtils::SarvikAppMode::VdiModule,
                                       SarvikAppSetup::VdiMode::VMware, module));
    return dir;
}

class Texts
{
public:
    Texts() : m_out(std::make_shared<YrLogV2::MemoryOutput>())
    {
        m_link = YrLogV2::LogRoot::Instance().AttachOutput(m_out);
        m_out->Clear();
    }
    size_t Count(const std::string& text) const
    {
        size_t n = 0;
        for (const YrLogV2::LogRecord& r : m_out->Records())
            n += (r.text == text) ? 1 : 0;
        return n;
    }

private:
    std::shared_ptr<YrLogV2::MemoryOutput> m_out;
    std::unique_ptr<Utils::IVirtualDestroy> m_link;
};

// The application set-up of this process; made once, so that a repeated run reuses it, and its
// folder removed when the process ends.
class ProcessApplication
{
public:
    explicit ProcessApplication(const std::string& config) : m_dir(SetUpApplication(config)) {}
    ~ProcessApplication()
    {
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
    }

private:
    fs::path m_dir;
};

TEST(CrashHookTest, TheConfigurationDecidesAndTheModeIsAlwaysInternal)
{
    static const ProcessApplication app("VdiCrashHookEnabled = false\nFullCrashDump = true\n");
    Texts log;
    VdiCommon::InstallCrashHook();
    EXPECT_EQ(1u, log.Count("InstallCrashHook: crash hook is disabled by config"));
    EXPECT_FALSE(CrashReporter::IsHookInstalled());

    const CrashReporter::HookParams p = VdiCommon::details::MakeCrashHookParams();
    EXPECT_FALSE(p.m_flag);
    EXPECT_TRUE(p.m_fullDump);
    EXPECT_EQ(0u, p.m_value);
    EXPECT_FALSE(p.m_enforceErrorMode);
    EXPECT_EQ(CrashReporter::WinHookMode::Internal, p.m_mode.CastToInt());
    const AppUtils::AppPaths& paths = SarvikAppSetup::AppSetupInstance().GetPaths();
    EXPECT_EQ(AppUtils::FromPath(CrashReporter::MakeVersionFolder(AppUtils::GetReportPath(paths))),
              p.m_dumpFolder);
    EXPECT_NE(std::wstring::npos, p.m_dumpFolder.find(L"CrashReports"));
}

TEST(CrashHookDeathTest, TheHookIsInstalledOnceAndThenLeftAlone)
{
    EXPECT_EXIT(
        {
            const fs::path dir = SetUpApplication("FullCrashDump = false\n");
            Texts log;
            VdiCommon::InstallCrashHook();
            const bool installed = CrashReporter::IsHookInstalled();
            VdiCommon::InstallCrashHook();
            const bool ok = installed && log.Count("InstallCrashHook: installed") == 1 &&
                            log.Count("InstallCrashHook: crash hook is already setup") == 1 &&
                            !VdiCommon::details::MakeCrashHookParams().m_fullDump;
            std::fprintf(stderr, ok ? "hook ok\n" : "hook wrong\n");
            boost::system::error_code ec;
            fs::remove_all(dir, ec);
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "hook ok");
}

} // namespace
